#include "pty_pair.h"

#include <fcntl.h>
#include <pty.h>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace kavo::test {
namespace {

int speedOf(speed_t code) {
    switch (code) {
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B115200:
        return 115200;
    default:
        return -1;
    }
}

} // namespace

PtyPair::PtyPair() {
    int slave = -1;
    char name[256] = {};
    if (::openpty(&m_master, &slave, name, nullptr, nullptr) != 0) {
        m_master = -1;
        return;
    }
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    // The slave stays open here only long enough to set it up; the port opens its own.
    ::close(slave);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_slavePath = QString::fromLocal8Bit(name);
}

PtyPair::~PtyPair() {
    closeMaster();
}

void PtyPair::closeMaster() {
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

bool PtyPair::linkAs(const QString& folder, int number) const {
    return makePortEntry(folder, number, PortEntryKind::Link, QFile::encodeName(m_slavePath));
}

bool makePortEntry(const QString& folder, int number, PortEntryKind kind, const QByteArray& text) {
    QDir().mkpath(folder);
    QFile entry(folder + QStringLiteral("/COM%1").arg(number));
    entry.remove();
    if (kind == PortEntryKind::Link)
        return QFile::link(QFile::decodeName(text), entry.fileName());
    return entry.open(QIODevice::WriteOnly) && entry.write(text) == text.size();
}

void PtyPair::write(const QByteArray& bytes) const {
    if (m_master >= 0) [[maybe_unused]]
        auto written = ::write(m_master, bytes.constData(), bytes.size());
}

QByteArray PtyPair::read(int count, std::chrono::milliseconds timeout) const {
    QByteArray got;
    QDeadlineTimer deadline(timeout);
    while (got.size() < count && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        char buffer[512];
        const auto n = ::read(m_master, buffer, sizeof buffer);
        if (n > 0)
            got.append(buffer, n);
        else
            QThread::msleep(2);
    }
    return got;
}

bool PtyPair::slaveSettings(termios& settings) const {
    const int fd =
        ::open(QFile::encodeName(m_slavePath).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    const int ok = ::tcgetattr(fd, &settings);
    ::close(fd);
    return ok == 0;
}

int PtyPair::slaveSpeed() const {
    termios settings{};
    return slaveSettings(settings) ? speedOf(::cfgetospeed(&settings)) : -1;
}

QString PtyPair::slaveLine() const {
    termios settings{};
    if (!slaveSettings(settings))
        return {};
    const tcflag_t flags = settings.c_cflag;
    const tcflag_t size = flags & CSIZE;
    const int dataBits = size == CS8 ? 8 : size == CS7 ? 7 : size == CS6 ? 6 : 5;
    const char parity = !(flags & PARENB) ? 'N' : (flags & PARODD) ? 'O' : 'E';
    QString text = QStringLiteral("%1,%2,%3,%4")
                       .arg(speedOf(::cfgetospeed(&settings)))
                       .arg(QLatin1Char(parity))
                       .arg(dataBits)
                       .arg(flags & CSTOPB ? 2 : 1);
    if (flags & CRTSCTS)
        text += QStringLiteral(",RTS/CTS");
    if (settings.c_iflag & (IXON | IXOFF))
        text += QStringLiteral(",XON/XOFF");
    return text;
}

int PtyPair::slavePending() const {
    const int fd =
        ::open(QFile::encodeName(m_slavePath).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    int pending = 0;
    const int ok = ::ioctl(fd, FIONREAD, &pending);
    ::close(fd);
    return ok == 0 ? pending : -1;
}

TempConfigHome::TempConfigHome() {
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.path()));
}

} // namespace kavo::test
