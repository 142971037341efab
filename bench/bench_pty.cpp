#include "bench_pty.h"

#include <cerrno>
#include <poll.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <unistd.h>

namespace kavo::bench {

BenchPty::BenchPty() {
    QString error;
    m_line.open(&error);
}

BenchPty::~BenchPty() {
    removeLink();
}

bool BenchPty::linkAs(const QString& folder, int number) {
    removeLink();
    const QString link = folder + QStringLiteral("/COM%1").arg(number);
    if (!isValid() || !QDir().mkpath(folder) ||
        ::symlink(QFile::encodeName(m_line.devicePath()).constData(),
                  QFile::encodeName(link).constData()) != 0)
        return false;
    m_link = link;
    return true;
}

void BenchPty::removeLink() {
    // Only while the link is still the one made here.
    if (!m_link.isEmpty() && QFileInfo(m_link).symLinkTarget() == m_line.devicePath())
        ::unlink(QFile::encodeName(m_link).constData());
    m_link.clear();
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
