#include "bench_pty.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace kavo::bench {

BenchPty::BenchPty() {
    QString error;
    m_line.open(&error);
}

bool BenchPty::linkAs(const QString& folder, int number) {
    m_entry = std::make_unique<sim::PortEntry>(folder + QStringLiteral("/COM%1").arg(number),
                                               m_line.devicePath());
    QString error;
    return m_entry->claim(&error);
}

bool BenchPty::writeAll(QByteArrayView bytes) const {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master(), bytes.data() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd wait{master(), POLLOUT, 0};
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
        const ssize_t n = ::read(master(), buffer, sizeof buffer);
        if (n <= 0)
            break;
        got.append(buffer, n);
    }
    return got;
}

} // namespace kavo::bench
