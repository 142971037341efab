#include "stream_serial_port.h"

#include <QEventLoop>
#include <QIODevice>
#include <QTimer>

namespace kavo {

StreamSerialPort::StreamSerialPort(QIODevice& stream, QObject* parent)
    : QObject(parent), m_stream(stream) {}

OpenResult StreamSerialPort::open() {
    if (m_connecting)
        return {false, QStringLiteral("%1: still connecting.").arg(name())};
    if (m_open)
        return {false, QStringLiteral("The port is already open.")};
    // What is left of an earlier connection (still closing, or dropped) goes now.
    abortLink();
    m_timedOut = false;
    m_givenUp = false;
    m_connecting = true;
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

void StreamSerialPort::close() {
    if (m_connecting) {
        m_givenUp = true;
        abortLink();
        if (m_wait)
            m_wait->quit();
        return;
    }
    if (!m_open)
        return;
    m_open = false;
    // Whatever was written still goes out; the socket finishes closing on its own.
    closeLink();
}

void StreamSerialPort::write(const QString& text) {
    if (!m_open)
        return;
    m_stream.write(text.toLatin1());
    flushLink();
}

QString StreamSerialPort::readAll() {
    return QString::fromLatin1(m_stream.readAll());
}

void StreamSerialPort::linkChanged() {
    const QAbstractSocket::SocketState state = linkState();
    if (m_wait &&
        (state == QAbstractSocket::ConnectedState || state == QAbstractSocket::UnconnectedState))
        m_wait->quit();
    // Errors that leave the connection up change nothing. The socket finishes
    // its own teardown; the next open clears what is left.
    if (!m_open || state == QAbstractSocket::ConnectedState)
        return;
    m_open = false;
    raise(CommEvent::LineLost);
}

} // namespace kavo
