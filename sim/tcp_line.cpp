#include "tcp_line.h"

#include <QTcpSocket>

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

void TcpLine::accept() {
    while (QTcpSocket* next = m_server.nextPendingConnection()) {
        if (m_client) {
            // Came in together with the one taken: refused all the same.
            next->abort();
            next->deleteLater();
            continue;
        }
        next->setParent(nullptr);
        m_client.reset(next);
        m_server.close();
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
    QString said = why;
    if (m_server.listen(m_address, m_port))
        said += QStringLiteral("; listening again");
    else
        said += QStringLiteral("; cannot listen again: %1").arg(m_server.errorString());
    m_handlers.gone(said);
}

} // namespace kavo::sim
