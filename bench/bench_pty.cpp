#include "bench_pty.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <QDir>
#include <QFile>
#include <termios.h>
#include <unistd.h>

namespace kavo::bench {

BenchPty::BenchPty() {
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        m_master = m_slave = -1;
        return;
    }
    termios raw{};
    ::tcgetattr(m_slave, &raw);
    ::cfmakeraw(&raw);
    ::cfsetspeed(&raw, B19200);
    ::tcsetattr(m_slave, TCSANOW, &raw);
    for (const int fd : {m_master, m_slave})
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_slavePath = QString::fromLocal8Bit(name);
}

BenchPty::~BenchPty() {
    for (const int fd : {m_master, m_slave}) {
        if (fd >= 0)
            ::close(fd);
    }
}

bool BenchPty::linkAs(const QString& folder, int number) const {
    QDir().mkpath(folder);
    const QString entry = folder + QStringLiteral("/COM%1").arg(number);
    QFile::remove(entry);
    return QFile::link(m_slavePath, entry);
}

bool BenchPty::writeAll(QByteArrayView bytes) const {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.data() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd wait{m_master, POLLOUT, 0};
            ::poll(&wait, 1, 100);
        } else {
            return false;
        }
    }
    return true;
}

QByteArray BenchPty::readAvailable() const {
    QByteArray got;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        got.append(buffer, n);
    }
    return got;
}

} // namespace kavo::bench
