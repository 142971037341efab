#include "stream_serial_port.h"

#include "service_lines.h"

#include <QEventLoop>
#include <QIODevice>
#include <QTimer>

namespace kavo {
namespace {

// A notice comes in one piece from a service on this machine or nearby; the
// start of one that stops short is passed on as line bytes after this.
constexpr std::chrono::milliseconds kNoticeCompletes{200};

} // namespace

StreamSerialPort::StreamSerialPort(QIODevice& stream, QObject* parent)
    : QObject(parent), m_stream(stream) {
    m_release.setSingleShot(true);
    m_release.setInterval(kNoticeCompletes);
    connect(&m_release, &QTimer::timeout, this, [this] {
        if (m_open)
            raise(CommEvent::Receive);
    });
    m_openDeadline.setSingleShot(true);
    connect(&m_openDeadline, &QTimer::timeout, this, [this] {
        m_timedOut = true;
        connectTimedOut();
        settleAsyncOpen();
    });
}

OpenResult StreamSerialPort::beginOpen() {
    if (m_connecting)
        return {false, QStringLiteral("%1: still connecting.").arg(name())};
    if (m_open)
        return {false, QStringLiteral("The port is already open.")};
    // What is left of an earlier connection (still closing, or dropped) goes now.
    abortLink();
    m_held.clear();
    m_release.stop();
    m_farEndReason.clear();
    m_timedOut = false;
    m_givenUp = false;
    m_connecting = true;
    return {true, {}};
}

OpenResult StreamSerialPort::open() {
    if (const OpenResult ready = beginOpen(); !ready)
        return ready;
    {
        QEventLoop wait;
        QTimer deadline;
        deadline.setSingleShot(true);
        connect(&deadline, &QTimer::timeout, &wait, [this, &wait] {
            m_timedOut = true;
            connectTimedOut();
            wait.quit();
        });
        connectToFarEnd();
        const QAbstractSocket::SocketState state = linkState();
        if (state == QAbstractSocket::HostLookupState ||
            state == QAbstractSocket::ConnectingState) {
            m_wait = &wait;
            deadline.start(m_connectTimeout);
            wait.exec(QEventLoop::ExcludeUserInputEvents);
            m_wait = nullptr;
        }
    }
    return endOpen();
}

OpenResult StreamSerialPort::endOpen() {
    m_connecting = false;
    if (linkState() != QAbstractSocket::ConnectedState) {
        QString reason;
        if (m_timedOut)
            reason = QStringLiteral("%1: timed out after %2 ms without a connection.")
                         .arg(name())
                         .arg(m_connectTimeout.count());
        else if (m_givenUp)
            reason =
                QStringLiteral("%1: the connection was given up before it was made.").arg(name());
        else
            reason = connectFailure();
        abortLink();
        return {false, reason};
    }
    connectionMade();
    m_open = true;
    return {true, {}};
}

void StreamSerialPort::openAsync(std::function<void(const OpenResult&)> done) {
    if (const OpenResult ready = beginOpen(); !ready) {
        done(ready);
        return;
    }
    m_pendingOpen = std::move(done);
    m_openDeadline.start(m_connectTimeout);
    connectToFarEnd();
    settleAsyncOpen();
}

// An attempt without a loop of its own ends once the link is connected or
// not (or the deadline or a close ended it).
void StreamSerialPort::settleAsyncOpen() {
    if (!m_pendingOpen)
        return;
    const QAbstractSocket::SocketState state = linkState();
    if (!m_timedOut && !m_givenUp &&
        (state == QAbstractSocket::HostLookupState || state == QAbstractSocket::ConnectingState))
        return;
    m_openDeadline.stop();
    const auto done = std::exchange(m_pendingOpen, nullptr);
    done(endOpen());
}

void StreamSerialPort::close() {
    if (m_connecting) {
        m_givenUp = true;
        abortLink();
        if (m_wait)
            m_wait->quit();
        settleAsyncOpen();
        return;
    }
    if (!m_open)
        return;
    m_open = false;
    // Whatever was written still goes out; the socket finishes closing on its own.
    closeLink();
}

void StreamSerialPort::write(const QByteArray& bytes) {
    if (!m_open)
        return;
    m_stream.write(bytes);
    flushLink();
}

QByteArray StreamSerialPort::readAll() {
    if (m_release.isActive())
        return {}; // all of it may still be a notice
    return std::exchange(m_held, {}) + m_stream.readAll();
}

void StreamSerialPort::arrived() {
    if (m_held.isEmpty()) {
        char first = 0;
        if (m_stream.peek(&first, 1) != 1 || first != '\x15') {
            raise(CommEvent::Receive);
            return;
        }
    }
    m_held += m_stream.readAll();
    switch (matchLineDownNotice(m_held)) {
    case NoticeMatch::Partial:
        if (!m_release.isActive())
            m_release.start();
        return;
    case NoticeMatch::Whole:
        m_release.stop();
        m_farEndReason = lineDownText(m_held).value_or(QString());
        m_held.remove(0, m_held.indexOf('\n') + 1);
        if (!m_held.isEmpty())
            raise(CommEvent::Receive);
        return;
    case NoticeMatch::None:
        m_release.stop();
        raise(CommEvent::Receive);
        return;
    }
}

void StreamSerialPort::linkChanged() {
    const QAbstractSocket::SocketState state = linkState();
    if (m_wait &&
        (state == QAbstractSocket::ConnectedState || state == QAbstractSocket::UnconnectedState))
        m_wait->quit();
    if (m_pendingOpen &&
        (state == QAbstractSocket::ConnectedState || state == QAbstractSocket::UnconnectedState)) {
        settleAsyncOpen();
        return;
    }
    // Errors that leave the connection up change nothing. The socket finishes
    // its own teardown; the next open clears what is left.
    if (!m_open || state == QAbstractSocket::ConnectedState)
        return;
    // A notice that came just before the end is read first.
    if (m_stream.bytesAvailable() > 0 || m_release.isActive())
        arrived();
    m_release.stop();
    m_open = false;
    raise(CommEvent::LineLost);
}

} // namespace kavo
