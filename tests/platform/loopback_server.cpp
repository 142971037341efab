#include "loopback_server.h"

#include "pty_pair.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>

namespace kavo::test {

LoopbackServer::LoopbackServer(bool local) : m_local(local) {
    QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
        while (QTcpSocket* next = m_server.nextPendingConnection())
            take(next);
    });
    QObject::connect(&m_localServer, &QLocalServer::newConnection, &m_localServer, [this] {
        while (QLocalSocket* next = m_localServer.nextPendingConnection())
            take(next);
    });
    listenAgain();
    m_port = m_server.serverPort();
}

void LoopbackServer::take(QIODevice* next) {
    if (hasClient()) {
        next->close();
        next->deleteLater();
        return;
    }
    m_client.reset(next);
    next->setParent(nullptr);
    QObject::connect(next, &QIODevice::readyRead, &m_server,
                     [this, next] { m_received += next->readAll(); });
}

LoopbackServer::~LoopbackServer() = default;

QString LoopbackServer::name() const {
    if (m_local)
        return QStringLiteral("unix:") + socketPath();
    return QStringLiteral("socket://127.0.0.1:%1").arg(m_port);
}

bool LoopbackServer::linkAs(const QString& folder, int number) const {
    return writeEntry(folder, number, name().toLatin1() + '\n');
}

bool LoopbackServer::hasClient() const {
    if (const auto* local = qobject_cast<QLocalSocket*>(m_client.get()))
        return local->state() == QLocalSocket::ConnectedState;
    const auto* tcp = qobject_cast<QTcpSocket*>(m_client.get());
    return tcp && tcp->state() == QAbstractSocket::ConnectedState;
}

bool LoopbackServer::waitForClient(std::chrono::milliseconds timeout) {
    QDeadlineTimer deadline(timeout);
    while (!hasClient() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return hasClient();
}

void LoopbackServer::write(const QByteArray& bytes) {
    if (!waitForClient(std::chrono::seconds(2)))
        return;
    m_client->write(bytes);
    m_client->waitForBytesWritten(2000);
}

QByteArray LoopbackServer::read(int count, std::chrono::milliseconds timeout) {
    QDeadlineTimer deadline(timeout);
    while (m_received.size() < count && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return std::exchange(m_received, {});
}

void LoopbackServer::hangUp() {
    m_server.close();
    m_localServer.close(); // and removes the socket file
    if (m_client) {
        m_client->disconnect(&m_server);
        m_client->close();
        m_client.reset();
    }
    m_received.clear();
}

bool LoopbackServer::listenAgain() {
    return m_local ? m_localServer.listen(socketPath())
                   : m_server.listen(QHostAddress::LocalHost, m_port);
}

bool writeEntry(const QString& folder, int number, const QByteArray& content) {
    return makePortEntry(folder, number, PortEntryKind::File, content);
}

} // namespace kavo::test
