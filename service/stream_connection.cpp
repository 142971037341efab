#include "stream_connection.h"

#include <QAbstractSocket>
#include <QLocalSocket>
#include <QPointer>
#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace kavo::service {

StreamConnection::StreamConnection(QIODevice* socket, ConnectionLimits limits, TimerFactory& timers,
                                   Handlers handlers, QObject* parent)
    : QObject(parent), m_socket(socket), m_limits(limits), m_handlers(std::move(handlers)),
      m_idle(timers.createTimer()) {
    m_socket->setParent(this);
    m_idle->setTickHandler([this] {
        if (m_finishing)
            end(m_finishWhy);
        else if (!m_idleWhy.isEmpty())
            end(m_idleWhy);
        else
            end(QStringLiteral("closed: nothing sent for %1 s")
                    .arg(std::chrono::duration_cast<std::chrono::seconds>(m_idle->interval())
                             .count()));
    });
    if (auto* local = qobject_cast<QLocalSocket*>(m_socket)) {
        local->setReadBufferSize(m_limits.readAhead);
        connect(local, &QLocalSocket::disconnected, this,
                [this] { end(m_finishing ? m_finishWhy : QStringLiteral("gone")); });
    } else if (auto* tcp = qobject_cast<QAbstractSocket*>(m_socket)) {
        tcp->setReadBufferSize(m_limits.readAhead);
        connect(tcp, &QAbstractSocket::disconnected, this,
                [this] { end(m_finishing ? m_finishWhy : QStringLiteral("gone")); });
    }
    connect(m_socket, &QIODevice::readyRead, this, &StreamConnection::readAvailable);
    if (m_limits.idle)
        setIdle(*m_limits.idle);
}

StreamConnection::~StreamConnection() = default;

void StreamConnection::start() {
    if (m_socket->bytesAvailable() > 0)
        readAvailable();
}

void StreamConnection::setIdle(std::chrono::milliseconds idle, const QString& why) {
    m_limits.idle = idle;
    m_idleWhy = why;
    m_idle->setInterval(idle);
    m_idle->setEnabled(true);
}

void StreamConnection::readAvailable() {
    const QByteArray data = m_socket->readAll();
    if (m_finishing || m_ended)
        return;
    // Nothing of this object is touched after a handler that may have ended it.
    const QPointer<StreamConnection> alive(this);
    for (const char byte : data) {
        if (byte != '\r') {
            if (m_line.size() < m_limits.longestLine) {
                m_line.append(byte);
            } else if (m_limits.closeOnOverlong) {
                end(QStringLiteral("closed: more than %1 bytes without a CR")
                        .arg(m_limits.longestLine));
                return;
            } else if (m_overlong++ == 0 && m_handlers.overlong) {
                m_handlers.overlong(m_limits.longestLine, false);
                if (!alive || m_ended)
                    return;
            }
            continue;
        }
        if (m_limits.idle)
            setIdle(*m_limits.idle, m_idleWhy);
        const QByteArray line = std::exchange(m_line, {});
        if (const qsizetype past = std::exchange(m_overlong, 0); past > 0) {
            if (m_handlers.overlong)
                m_handlers.overlong(line.size() + past, true);
        } else if (m_handlers.line) {
            m_handlers.line(line);
        }
        if (!alive || m_ended || m_finishing)
            return;
    }
}

void StreamConnection::write(const QByteArray& bytes) {
    if (m_ended || m_finishing)
        return;
    m_socket->write(bytes);
    if (m_socket->bytesToWrite() > m_limits.unreadOutput)
        end(QStringLiteral("disconnected: it leaves more than %1 bytes unread")
                .arg(m_limits.unreadOutput));
}

// The last bytes, then the end of this side: the peer reads them and then the
// end, and whatever it still sends is read and dropped, so that nothing it
// sent resets the connection before it has read them.
void StreamConnection::finishWith(const QByteArray& bytes, std::chrono::milliseconds linger,
                                  const QString& why) {
    if (m_ended || m_finishing)
        return;
    m_finishing = true;
    m_finishWhy = why;
    m_line.clear();
    m_socket->write(bytes);
    flushAndShutDown();
    m_idle->setInterval(linger);
    m_idle->setEnabled(true);
}

void StreamConnection::flushAndShutDown() {
    qintptr descriptor = -1;
    if (auto* local = qobject_cast<QLocalSocket*>(m_socket)) {
        local->flush();
        // A named pipe on Windows cannot be closed one way: the linger's end closes it.
#ifndef Q_OS_WIN
        descriptor = local->socketDescriptor();
#endif
    } else if (auto* tcp = qobject_cast<QAbstractSocket*>(m_socket)) {
        tcp->flush();
        descriptor = tcp->socketDescriptor();
    }
    if (descriptor >= 0 && m_socket->bytesToWrite() == 0)
#ifdef Q_OS_WIN
        ::shutdown(SOCKET(descriptor), SD_SEND);
#else
        ::shutdown(int(descriptor), SHUT_WR);
#endif
}

void StreamConnection::end(const QString& why) {
    if (m_ended)
        return;
    m_ended = true;
    m_idle->setEnabled(false);
    m_socket->disconnect(this);
    if (auto* local = qobject_cast<QLocalSocket*>(m_socket))
        local->abort();
    else if (auto* tcp = qobject_cast<QAbstractSocket*>(m_socket))
        tcp->abort();
    if (m_handlers.ended)
        m_handlers.ended(why);
    deleteLater();
}

} // namespace kavo::service
