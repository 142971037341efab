#include "client_hub.h"

#include "kavo_version.h"
#include "local_peer.h"
#include "port_paths.h"
#include "safe_files.h"
#include "service_lines.h"
#include "stream_connection.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QLocalSocket>
#include <QTcpSocket>
#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

namespace kavo::service {
namespace {

struct Peer {
    QString who;
    QString source;
};

Peer peerOf(const QLocalSocket& socket) {
    const QString kind = localEndpointKind();
    const std::optional<LocalPeer> peer = localPeerOf(socket);
    if (!peer)
        return {kind + QStringLiteral(":?"), kind + QStringLiteral(":?")};
    return {QStringLiteral("%1:%2(%3)").arg(kind, peer->user).arg(peer->pid),
            QStringLiteral("%1 user %2").arg(kind, peer->user)};
}

#ifndef Q_OS_WIN
constexpr int kProbeMs = 1000;

// Empty unless a running service answers on the endpoint, which is then
// left to it.
QString answeredProblem(const QString& path, const QString& shown, QStringView kind) {
    QLocalSocket probe;
    probe.connectToServer(path);
    if (!probe.waitForConnected(kProbeMs))
        return {};
    probe.abort();
    return QStringLiteral("cannot serve %1: another service answers on it (a second service "
                          "for the same %2 is not started)")
        .arg(shown, kind);
}
#endif

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

ClientHub::ClientHub(LineQueue& queue, TimerFactory& timers, Journal& journal, QString name,
                     std::function<std::optional<LineDown>()> lineDown)
    : m_queue(queue), m_timers(timers), m_journal(journal), m_name(std::move(name)),
      m_lineDown(std::move(lineDown)) {
    connect(&m_local, &LocalServer::newConnection, this, [this] {
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

#ifndef Q_OS_WIN
QString ClientHub::listenLocal(const QString& path, const QString&) {
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
        if (const QString problem = answeredProblem(path, escapeControls(path), u"socket");
            !problem.isEmpty())
            return problem;
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

#else
// A named pipe: its name, not a file, so there is nothing stale to clear and
// no folder to check; its first instance is the service's or none is.
// Its name, \\.\pipe\ and letters, digits, ., - and _ as the options allow,
// is shown as it is: escaped, each backslash would be doubled.
QString ClientHub::listenLocal(const QString& path, const QString& pipeUsers) {
    m_local.setMaxPendingConnections(kMaxClients);
    if (!pipeUsers.isEmpty())
        m_local.setUsersSid(pipeUsers);
    if (!m_local.listen(path))
        return QStringLiteral("cannot serve %1: %2").arg(path, m_local.errorString());
    m_journal.write(m_name, QStringLiteral("serving on pipe:%1").arg(m_local.fullServerName()));
    // A line of its own, so that the one above can be copied into a port entry.
    // Windows' account names hold no control characters; escaped, the
    // backslash after the domain would be doubled.
    m_journal.write(m_name, QStringLiteral("the pipe is open to %1 and the administrators")
                                .arg(accountName(m_local.usersSid())));
    return {};
}
#endif

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
        m_connections.begin()->second.link->end(QStringLiteral("the service stops"));
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
    ConnectionLimits limits;
    limits.longestLine = kMaxCommandBytes;
    limits.readAhead = kReadBuffer;
    limits.unreadOutput = kMaxUnreadReplies;
    auto* link = new StreamConnection(
        socket, limits, m_timers,
        {[this, id](const QByteArray& line) { take(id, line); },
         [this, id](qsizetype length, bool atEnd) { overlong(id, length, atEnd); },
         [this, id](const QString& why) { ended(id, why); }},
        this);
    m_connections[id] = Connection{link, who, source, tcp};
    m_journal.complain(who, QStringLiteral("connected"), u"connected", source);
    if (const std::optional<LineDown> down = m_lineDown()) {
        tellLineDown(id, *down);
        return;
    }
    link->start();
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

void ClientHub::tellLineDown(ClientId id, const LineDown& down) {
    const auto found = m_connections.find(id);
    if (found == m_connections.end() || found->second.link->finishing())
        return;
    const Connection& client = found->second;
    m_queue.removeClient(id);
    m_journal.complain(client.who, QStringLiteral("told that the line is down"),
                       u"told that the line is down", client.source);
    client.link->finishWith(lineDownNotice(down.since, down.reason),
                            std::chrono::milliseconds(kNoticeLingerMs),
                            QStringLiteral("closed: the line is down"));
}

// One line of a client: a command for the line, or a request to the service.
void ClientHub::take(ClientId id, const QByteArray& line) {
    if (line.startsWith(kServiceLineStart)) {
        answerRequest(id, line.mid(1));
        return;
    }
    m_queue.submit(id, QString::fromLatin1(line), [this, id](const Exchange* exchange) {
        if (exchange && !exchange->reply.isEmpty())
            reply(id, exchange->reply);
    });
}

void ClientHub::overlong(ClientId id, qsizetype length, bool atEnd) {
    const auto found = m_connections.find(id);
    if (found == m_connections.end())
        return;
    const Connection& client = found->second;
    if (atEnd)
        m_journal.complain(client.who,
                           QStringLiteral("dropped a command of %1 bytes: at most %2 make one")
                               .arg(length)
                               .arg(kMaxCommandBytes),
                           u"overlong command", client.source);
    else
        m_journal.complain(client.who,
                           QStringLiteral("sent more than %1 bytes without a CR; they are "
                                          "dropped up to the next CR")
                               .arg(length),
                           u"overlong command start", client.source);
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
    } else if (request == "alerts") {
        // "alerts": the open alerts and the last events.
        answer = m_alerts ? m_alerts()
                          : QJsonObject{{QStringLiteral("open"), QJsonArray()},
                                        {QStringLiteral("events"), QJsonArray()}};
        answer.insert(QStringLiteral("service"), m_name);
    } else if (request == "schedule" && m_scheduleAnswer) {
        answer = m_scheduleAnswer();
    } else {
        answer.insert(QStringLiteral("error"), QStringLiteral("no such request"));
        m_journal.complain(found->second.who,
                           QStringLiteral("asked the service for \"%1\", which it does not know")
                               .arg(escapeControls(QString::fromLatin1(request.left(40)))),
                           u"unknown request", found->second.source);
    }
    found->second.link->write(serviceAnswer(answer));
}

void ClientHub::reply(ClientId id, const QString& bytes) {
    if (const auto found = m_connections.find(id); found != m_connections.end())
        found->second.link->write(bytes.toLatin1());
}

void ClientHub::ended(ClientId id, const QString& why) {
    const auto found = m_connections.find(id);
    if (found == m_connections.end())
        return;
    const Connection client = found->second;
    m_connections.erase(found);
    --(client.tcp ? m_tcpCount : m_localCount);
    m_queue.removeClient(id);
    m_journal.complain(client.who, why, why.section(QLatin1Char(' '), 0, 2), client.source);
}

} // namespace kavo::service
