#include "loopback_server.h"

#include "pty_pair.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>

namespace kavo::test {

LoopbackServer::LoopbackServer() {
    QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
        while (QTcpSocket* next = m_server.nextPendingConnection()) {
            if (hasClient()) {
                next->abort();
                next->deleteLater();
                continue;
            }
            m_client.reset(next);
            next->setParent(nullptr);
            QObject::connect(next, &QTcpSocket::readyRead, &m_server,
                             [this, next] { m_received += next->readAll(); });
        }
    });
    m_server.listen(QHostAddress::LocalHost);
    m_port = m_server.serverPort();
}

LoopbackServer::~LoopbackServer() = default;

QString LoopbackServer::name() const {
    return QStringLiteral("socket://127.0.0.1:%1").arg(m_port);
}

bool LoopbackServer::linkAs(const QString& folder, int number) const {
    return writeEntry(folder, number, name().toLatin1() + '\n');
}

bool LoopbackServer::hasClient() const {
    return m_client && m_client->state() == QAbstractSocket::ConnectedState;
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
    m_client->flush();
}

QByteArray LoopbackServer::read(int count, std::chrono::milliseconds timeout) {
    QDeadlineTimer deadline(timeout);
    while (m_received.size() < count && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return std::exchange(m_received, {});
}

void LoopbackServer::hangUp() {
    m_server.close();
    if (m_client) {
        m_client->disconnect(&m_server);
        m_client->close();
        m_client.reset();
    }
    m_received.clear();
}

bool LoopbackServer::listenAgain() {
    return m_server.listen(QHostAddress::LocalHost, m_port);
}

bool writeEntry(const QString& folder, int number, const QByteArray& content) {
    return makePortEntry(folder, number, PortEntryKind::File, content);
}

} // namespace kavo::test
