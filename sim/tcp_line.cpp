#include "tcp_line.h"

#include <cerrno>
#include <QTcpSocket>
#include <sys/socket.h>

namespace kavo::sim {
namespace {

// Replies a client does not read pile up no further than this; the rest is
// dropped, as on a full serial line.
constexpr qint64 kMaxUnsent = 64 * 1024;

QString endpoint(const QHostAddress& address, quint16 port) {
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QLatin1Char('[') + address.toString() + QLatin1Char(']')
                             : address.toString();
    return host + QLatin1Char(':') + QString::number(port);
}

} // namespace

TcpLine::TcpLine() {
    QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] { accept(); });
    QObject::connect(&m_server, &QTcpServer::acceptError, &m_server, [this] {
        const QString why = m_server.errorString();
        m_server.close();
        if (m_failed)
            m_failed(why);
    });
}

TcpLine::~TcpLine() {
    if (m_client)
        m_client->disconnect(&m_server);
}

bool TcpLine::listen(const QHostAddress& address, quint16 port, QString* error) {
    if (!m_server.listen(address, port)) {
        *error = m_server.errorString();
        return false;
    }
    m_address = address;
    m_port = m_server.serverPort();
    return true;
}

QString TcpLine::name() const {
    return QStringLiteral("socket://") + endpoint(m_address, m_port);
}

void TcpLine::start(Handlers handlers) {
    m_handlers = std::move(handlers);
}

// Whether the connected client is still there. A client that has just
// closed may not have been noticed yet when the next one comes in (a
// program that closes one connection and opens the next): its end of the
// connection is looked at directly.
bool TcpLine::clientStillThere() const {
    if (!m_client || m_client->state() != QAbstractSocket::ConnectedState)
        return false;
    char byte = 0;
    const auto descriptor = int(m_client->socketDescriptor());
    const ssize_t peeked = ::recv(descriptor, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return peeked > 0 || (peeked < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
}

void TcpLine::accept() {
    while (QTcpSocket* next = m_server.nextPendingConnection()) {
        if (m_client && !clientStillThere())
            drop(QStringLiteral("the client left"));
        if (m_client) {
            // One client at a time: the newcomer is closed at once.
            next->abort();
            next->deleteLater();
            m_handlers.noted(QStringLiteral("refused a second client while one is connected"));
            continue;
        }
        next->setParent(nullptr);
        m_client.reset(next);
        next->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        QObject::connect(next, &QTcpSocket::readyRead, &m_server, [this] {
            if (m_client)
                m_handlers.received(m_client->readAll());
        });
        QObject::connect(next, &QTcpSocket::disconnected, &m_server,
                         [this] { drop(QStringLiteral("the client left")); });
        m_handlers.connected(endpoint(next->peerAddress(), next->peerPort()));
    }
}

qsizetype TcpLine::send(const QByteArray& bytes) {
    if (!m_client || m_client->bytesToWrite() > kMaxUnsent)
        return 0;
    const qint64 written = m_client->write(bytes);
    m_client->flush();
    return qsizetype(std::max<qint64>(written, 0));
}

void TcpLine::hangUp() {
    if (m_client)
        drop(QStringLiteral("hung up as asked: the connection is closed"));
}

void TcpLine::drop(const QString& why) {
    if (!m_client)
        return;
    QTcpSocket* client = m_client.release();
    client->disconnect(&m_server);
    client->disconnectFromHost();
    client->deleteLater();
    m_handlers.gone(why);
}

} // namespace kavo::sim
