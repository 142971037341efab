#include "client_hub.h"

#include "port_paths.h"
#include "safe_files.h"
#include "service_lines.h"

#include <cerrno>
#include <cstring>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QLocalSocket>
#include <QTcpSocket>
#include <QTimer>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kavo::service {
namespace {

constexpr int kProbeMs = 1000;

struct Peer {
    QString who;
    QString source;
};

Peer peerOf(QLocalSocket& socket) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &credentials,
                     &size) != 0)
        return {QStringLiteral("unix:?"), QStringLiteral("unix:?")};
    return {QStringLiteral("unix:%1").arg(credentials.pid),
            QStringLiteral("unix user %1").arg(credentials.uid)};
}

Peer peerOf(QTcpSocket& socket) {
    return {QStringLiteral("tcp:") + peerAddress(socket),
            QStringLiteral("tcp:") + socket.peerAddress().toString()};
}

} // namespace

QString peerAddress(const QAbstractSocket& socket) {
    const QHostAddress address = socket.peerAddress();
    QString host = address.toString();
    if (address.protocol() == QAbstractSocket::IPv6Protocol)
        host = QLatin1Char('[') + host + QLatin1Char(']');
    return host + QLatin1Char(':') + QString::number(socket.peerPort());
}

ClientHub::ClientHub(LineQueue& queue, Journal& journal, QString name,
                     std::function<std::optional<LineDown>()> lineDown)
    : m_queue(queue), m_journal(journal), m_name(std::move(name)), m_lineDown(std::move(lineDown)) {
    connect(&m_local, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_local.nextPendingConnection()) {
            const Peer peer = peerOf(*socket);
            accept(socket, peer.who, peer.source, false);
        }
    });
    connect(&m_tcp, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_tcp.nextPendingConnection()) {
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            const Peer peer = peerOf(*socket);
            accept(socket, peer.who, peer.source, true);
        }
    });
}

ClientHub::~ClientHub() {
    close();
}

QString ClientHub::listenLocal(const QString& path) {
    const QString folder = QFileInfo(path).absolutePath();
    // The per-user default folder, $XDG_RUNTIME_DIR/kavo, is made here.
    if (!QFileInfo::exists(folder) && QFileInfo(folder).dir().exists())
        ::mkdir(QFile::encodeName(folder).constData(), 0700);
    if (const QString problem = folderProblem(folder); !problem.isEmpty())
        return QStringLiteral("cannot serve %1: %2").arg(escapeControls(path), problem);

    struct stat existing {};
    if (::lstat(QFile::encodeName(path).constData(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode))
            return QStringLiteral("cannot serve %1: it exists and is not a socket; it is left "
                                  "as it is")
                .arg(escapeControls(path));
        QLocalSocket probe;
        probe.connectToServer(path);
        if (probe.waitForConnected(kProbeMs)) {
            probe.abort();
            return QStringLiteral("cannot serve %1: another service answers on it (a second "
                                  "service for the same socket is not started)")
                .arg(escapeControls(path));
        }
        // Nobody answers: what a service that was killed leaves behind.
        if (!QFile::remove(path))
            return QStringLiteral("cannot serve %1: the stale socket cannot be removed")
                .arg(escapeControls(path));
        m_journal.write(m_name,
                        QStringLiteral("replaced the stale socket %1").arg(escapeControls(path)));
    }
    m_local.setMaxPendingConnections(kMaxClients);
    // Created as rw-rw----: the owner and the group's operators, nobody else.
    const mode_t mask = ::umask(0117);
    const bool listening = m_local.listen(path);
    ::umask(mask);
    if (!listening)
        return QStringLiteral("cannot serve %1: %2")
            .arg(escapeControls(path), m_local.errorString());
    ::chmod(QFile::encodeName(path).constData(), 0660);
    m_journal.write(m_name, QStringLiteral("serving on unix:%1").arg(escapeControls(path)));
    return {};
}

QString ClientHub::listenTcp(const ListenAddress& address) {
    if (!m_tcp.listen(address.address, address.port))
        return QStringLiteral("cannot listen on %1: %2").arg(address.text, m_tcp.errorString());
    const QString shown = address.text.section(QLatin1Char(':'), 0, -2) + QLatin1Char(':') +
                          QString::number(m_tcp.serverPort());
    m_journal.write(m_name, QStringLiteral("serving on tcp:%1").arg(shown));
    if (!address.address.isLoopback())
        m_journal.write(m_name, QStringLiteral("warning: %1 is not a loopback address; anyone "
                                               "who reaches it controls the projector")
                                    .arg(shown));
    return {};
}

void ClientHub::close() {
    m_local.close();
    m_tcp.close();
    while (!m_connections.empty())
        drop(m_connections.begin()->first, QStringLiteral("the service stops"));
}

void ClientHub::accept(QIODevice* socket, const QString& who, const QString& source, bool tcp) {
    int& count = tcp ? m_tcpCount : m_localCount;
    if (count >= kMaxClients) {
        m_journal.complain(
            who,
            QStringLiteral("refused: %1 clients are connected %2 already")
                .arg(kMaxClients)
                .arg(tcp ? QStringLiteral("over TCP") : QStringLiteral("to the socket")),
            u"refused", source);
        socket->close();
        socket->deleteLater();
        return;
    }
    ++count;
    const ClientId id = m_queue.addClient(who, Policy::Line);
    m_connections[id] = Connection{socket, who, source, tcp, false, {}, 0};
    if (auto* local = qobject_cast<QLocalSocket*>(socket)) {
        local->setReadBufferSize(kReadBuffer);
        connect(local, &QLocalSocket::disconnected, this,
                [this, id] { drop(id, QStringLiteral("gone")); });
    } else if (auto* tcpSocket = qobject_cast<QAbstractSocket*>(socket)) {
        tcpSocket->setReadBufferSize(kReadBuffer);
        connect(tcpSocket, &QAbstractSocket::disconnected, this,
                [this, id] { drop(id, QStringLiteral("gone")); });
    }
    connect(socket, &QIODevice::readyRead, this, [this, id] { readFrom(id); });
    m_journal.complain(who, QStringLiteral("connected"), u"connected", source);
    if (const std::optional<LineDown> down = m_lineDown()) {
        tellLineDown(id, *down);
        return;
    }
    if (socket->bytesAvailable() > 0)
        readFrom(id);
}

void ClientHub::lineLost() {
    const std::optional<LineDown> down = m_lineDown();
    if (!down)
        return;
    std::vector<ClientId> ids;
    for (const auto& [id, client] : m_connections)
        ids.push_back(id);
    for (const ClientId id : ids)
        tellLineDown(id, *down);
}

// The notice, then the end of this side of the connection: the client reads
// the notice and then the end, and whatever it still sends is read and
// dropped, so that nothing it sent resets the connection before it has read.
void ClientHub::tellLineDown(ClientId id, const LineDown& down) {
    const auto found = m_connections.find(id);
    if (found == m_connections.end() || found->second.ending)
        return;
    Connection& client = found->second;
    client.ending = true;
    client.line.clear();
    m_queue.removeClient(id);
    client.socket->write(lineDownNotice(down.since, down.reason));
    int descriptor = -1;
    if (auto* local = qobject_cast<QLocalSocket*>(client.socket)) {
        local->flush();
        descriptor = int(local->socketDescriptor());
    } else if (auto* tcp = qobject_cast<QAbstractSocket*>(client.socket)) {
        tcp->flush();
        descriptor = int(tcp->socketDescriptor());
    }
    if (descriptor >= 0 && client.socket->bytesToWrite() == 0)
        ::shutdown(descriptor, SHUT_WR);
    m_journal.complain(client.who, QStringLiteral("told that the line is down"),
                       u"told that the line is down", client.source);
    QTimer::singleShot(kNoticeLingerMs, client.socket,
                       [this, id] { drop(id, QStringLiteral("closed: the line is down")); });
}

void ClientHub::readFrom(ClientId id) {
    const auto found = m_connections.find(id);
    if (found == m_connections.end())
        return;
    Connection& client = found->second;
    const QByteArray data = client.socket->readAll();
    if (client.ending)
        return;
    for (const char byte : data) {
        if (byte == '\r') {
            if (client.overlong > 0) {
                m_journal.complain(client.who,
                                   QStringLiteral("dropped a command of %1 bytes: at most %2 make "
                                                  "one")
                                       .arg(client.line.size() + client.overlong)
                                       .arg(kMaxCommandBytes),
                                   u"overlong command", client.source);
                client.overlong = 0;
                client.line.clear();
            } else if (client.line.startsWith(kServiceLineStart)) {
                // A request to the service, never for the line.
                const QByteArray request = client.line.mid(1);
                client.line.clear();
                answerRequest(id, request);
            } else {
                // Nothing of the client is touched after the submit: the queue
                // may answer at once, and a client that cannot take the answer
                // is gone by then.
                const QString command = QString::fromLatin1(client.line);
                client.line.clear();
                m_queue.submit(id, command, [this, id](const Exchange* exchange) {
                    if (exchange && !exchange->reply.isEmpty())
                        reply(id, exchange->reply);
                });
            }
            // The queue may have answered at once and the client be gone by now.
            if (!m_connections.contains(id))
                return;
        } else if (client.line.size() < kMaxCommandBytes) {
            client.line.append(byte);
        } else if (client.overlong++ == 0) {
            m_journal.complain(client.who,
                               QStringLiteral("sent more than %1 bytes without a CR; "
                                              "they are dropped up to the next CR")
                                   .arg(kMaxCommandBytes),
                               u"overlong command start", client.source);
        }
    }
}

// "state": what the service knows of the projector and when each reading
// was made, by the service's clock.
void ClientHub::answerRequest(ClientId id, const QByteArray& request) {
    const auto found = m_connections.find(id);
    if (found == m_connections.end())
        return;
    QJsonObject answer;
    if (request == "state") {
        answer.insert(QStringLiteral("service"), m_name);
        answer.insert(QStringLiteral("version"), QStringLiteral(KAVO_VERSION));
        answer.insert(QStringLiteral("now"),
                      QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
        answer.insert(QStringLiteral("state"), m_queue.state().toJson());
    } else {
        answer.insert(QStringLiteral("error"), QStringLiteral("no such request"));
        m_journal.complain(found->second.who,
                           QStringLiteral("asked the service for \"%1\", which it does not know")
                               .arg(escapeControls(QString::fromLatin1(request.left(40)))),
                           u"unknown request", found->second.source);
    }
    found->second.socket->write(serviceAnswer(answer));
}

void ClientHub::reply(ClientId id, const QString& bytes) {
    const auto found = m_connections.find(id);
    if (found == m_connections.end() || found->second.ending)
        return;
    QIODevice* socket = found->second.socket;
    socket->write(bytes.toLatin1());
    if (socket->bytesToWrite() > kMaxUnreadReplies)
        drop(id, QStringLiteral("disconnected: it leaves its replies unread"));
}

void ClientHub::drop(ClientId id, const QString& why) {
    const auto found = m_connections.find(id);
    if (found == m_connections.end())
        return;
    const Connection client = found->second;
    m_connections.erase(found);
    --(client.tcp ? m_tcpCount : m_localCount);
    m_queue.removeClient(id);
    m_journal.complain(client.who, why, why, client.source);
    client.socket->disconnect(this);
    if (auto* local = qobject_cast<QLocalSocket*>(client.socket))
        local->abort();
    else if (auto* tcp = qobject_cast<QAbstractSocket*>(client.socket))
        tcp->abort();
    client.socket->deleteLater();
}

} // namespace kavo::service
