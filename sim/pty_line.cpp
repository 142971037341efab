#include "pty_line.h"

#include <cerrno>
#include <cstring>
#include <QSocketNotifier>
#include <unistd.h>

namespace kavo::sim {
namespace {

constexpr qsizetype kReadChunk = 4096;

} // namespace

PtyLine::PtyLine() = default;

PtyLine::~PtyLine() = default;

void PtyLine::start(Handlers handlers) {
    m_handlers = std::move(handlers);
    m_reader = std::make_unique<QSocketNotifier>(m_terminal.master(), QSocketNotifier::Read);
    QObject::connect(m_reader.get(), &QSocketNotifier::activated, m_reader.get(),
                     [this] { read(); });
    m_handlers.connected(QString());
}

void PtyLine::read() {
    char buffer[kReadChunk];
    const ssize_t count = ::read(m_terminal.master(), buffer, sizeof buffer);
    if (count < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (count <= 0) {
        // Should not happen while the simulator holds the other side open;
        // stop reading rather than spin on a dead line.
        close(QStringLiteral("the line failed (%1): the line is closed")
                  .arg(QString::fromLocal8Bit(std::strerror(count < 0 ? errno : EIO))));
        return;
    }
    m_handlers.received(QByteArray(buffer, count));
}

// Writes what the line takes now; a full line drops the rest instead of
// blocking the simulator.
qsizetype PtyLine::send(const QByteArray& bytes) {
    if (!m_terminal.isOpen())
        return 0;
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t count = ::write(m_terminal.master(), bytes.constData() + done,
                                      std::size_t(bytes.size() - done));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        done += count;
    }
    return done;
}

void PtyLine::hangUp() {
    close(QStringLiteral("hung up as asked: the line is closed"));
}

void PtyLine::close(const QString& why) {
    if (!m_terminal.isOpen())
        return;
    m_reader.reset();
    m_terminal.close();
    m_handlers.gone(why);
}

} // namespace kavo::sim
