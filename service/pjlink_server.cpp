#include "pjlink_server.h"

#include "client_hub.h"
#include "exchange_report.h"
#include "pjlink_requests.h"
#include "port_paths.h"
#include "projector_vocabulary.h"
#include "stream_connection.h"

#include <array>
#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QTcpSocket>

namespace kavo::service {
namespace {

constexpr qsizetype kDigestLength = 32;
constexpr int kMaxWaitingRequests = 8;

// Where a peer comes from, for its limits: its address, or its /64 for IPv6,
// where one host may hold a whole network of addresses.
QString addressOf(const QTcpSocket& socket) {
    QHostAddress address = socket.peerAddress();
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped)
        return QHostAddress(v4).toString();
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        Q_IPV6ADDR bytes = address.toIPv6Address();
        std::fill(std::begin(bytes.c) + 8, std::end(bytes.c), quint8(0));
        return QHostAddress(bytes).toString() + QStringLiteral("/64");
    }
    return address.toString();
}

// A request as the journal shows it: printable, without any digest.
QString shown(const QByteArray& bytes) {
    return escapeControls(QString::fromLatin1(bytes.left(80)));
}

} // namespace

enum class PjlinkServer::Phase { Deciding, Reading, Sending };

struct PjlinkServer::Connection {
    ClientId id = 0;
    StreamConnection* link = nullptr; // deletes itself once ended
    QString who;
    QString address; // for the limits: see addressOf()
    QHostAddress peer;
    QByteArray random; // the greeting's number; empty once authenticated or when none is asked
    std::vector<QByteArray> waiting; // requests behind the one being answered
    // The request being answered.
    bool busy = false;
    QByteArray request; // "%1POWR 1"
    QByteArray command; // "POWR"
    char header = '1';  // its class
    QByteArray parameter;
    QStringList toSend; // reads or commands still to go
    Phase phase = Phase::Deciding;
    QDateTime since; // when the request came
};

PjlinkServer::PjlinkServer(LineQueue& queue, TimerFactory& timers, Journal& journal,
                           QString serviceName, PjlinkSettings settings)
    : m_queue(queue), m_timers(timers), m_journal(journal), m_serviceName(std::move(serviceName)),
      m_settings(std::move(settings)) {
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_server.nextPendingConnection())
            accept(socket);
    });
    // The projector has no mute or freeze read: the last one set by anyone
    // stands for it.
    m_queue.addObserver([this](const QString&, const Exchange& exchange, auto) {
        if (exchange.kind != ReplyKind::Answered || exchange.statusRead)
            return;
        const std::array<std::pair<QString, std::optional<bool>*>, 3> mutes{
            {{QStringLiteral("mute picture "), &m_videoMuted},
             {QStringLiteral("mute audio "), &m_audioMuted},
             {QStringLiteral("freeze "), &m_frozen}}};
        for (const auto& [what, muted] : mutes) {
            for (const bool on : {true, false}) {
                const Action* action =
                    findAction(what + (on ? QStringLiteral("on") : QStringLiteral("off")));
                if (action && action->commands == QStringList{exchange.command})
                    *muted = on;
            }
        }
    });
}

PjlinkServer::~PjlinkServer() {
    close();
}

QString PjlinkServer::listen() {
    const ListenAddress& at = m_settings.listen;
    if (!m_server.listen(at.address, at.port))
        return QStringLiteral("cannot listen for PJLink on %1: %2")
            .arg(at.text, m_server.errorString());
    const QString shownAt = at.text.section(QLatin1Char(':'), 0, -2) + QLatin1Char(':') +
                            QString::number(m_server.serverPort());
    m_journal.write(m_serviceName, QStringLiteral("PJLink on tcp:%1%2")
                                       .arg(shownAt, m_settings.password.isEmpty()
                                                         ? QStringLiteral(", no password")
                                                         : QStringLiteral(", with a password")));
    if (!at.address.isLoopback() && m_settings.password.isEmpty())
        m_journal.write(m_serviceName,
                        QStringLiteral("warning: PJLink on %1 has no password; anyone who "
                                       "reaches it controls the projector")
                            .arg(shownAt));
    return {};
}

void PjlinkServer::close() {
    m_server.close();
    while (!m_connections.empty())
        drop(m_connections.begin()->first, QStringLiteral("the service stops"));
}

PjlinkServer::Refusal PjlinkServer::refusal(const QString& address) const {
    if (m_connections.size() >= std::size_t(kMaxPjlinkConnections))
        return {QStringLiteral("refused: %1 PJLink connections are open already")
                    .arg(kMaxPjlinkConnections),
                u"refused: full"};
    if (m_settings.password.isEmpty())
        return {};
    if (const auto locked = m_lockouts.find(address);
        locked != m_lockouts.end() && locked->second.until > m_timers.now().count())
        return {QStringLiteral("refused: wrong password digests from %1; it may try again in %2 ms")
                    .arg(address)
                    .arg(locked->second.until - m_timers.now().count()),
                u"refused: locked out"};
    int waiting = 0;
    int fromThere = 0;
    for (const auto& [id, connection] : m_connections) {
        if (connection->random.isEmpty())
            continue;
        ++waiting;
        fromThere += connection->address == address ? 1 : 0;
    }
    if (waiting >= kMaxUnauthenticated)
        return {QStringLiteral("refused: %1 PJLink connections wait for their password digest "
                               "already; the rest are kept for controllers that sent theirs")
                    .arg(kMaxUnauthenticated),
                u"refused: waiting for digests"};
    if (fromThere >= kMaxUnauthenticatedPerAddress)
        return {QStringLiteral("refused: %1 PJLink connections from %2 wait for their password "
                               "digest already")
                    .arg(kMaxUnauthenticatedPerAddress)
                    .arg(address),
                u"refused: waiting for digests"};
    return {};
}

void PjlinkServer::accept(QTcpSocket* socket) {
    const QString who = QStringLiteral("pjlink:") + peerAddress(*socket);
    const QString address = addressOf(*socket);
    if (const Refusal refused = refusal(address); !refused.why.isEmpty()) {
        m_journal.complain(who, refused.why, refused.kind, QStringLiteral("pjlink:") + address);
        socket->abort();
        socket->deleteLater();
        return;
    }
    const ClientId id = m_queue.addClient(who, Policy::Requests);
    const bool password = !m_settings.password.isEmpty();
    ConnectionLimits limits;
    limits.longestLine = kMaxPjlinkLine + (password ? kDigestLength : 0);
    limits.readAhead = 4096;
    limits.unreadOutput = kMaxPjlinkUnread;
    limits.closeOnOverlong = true;
    auto connection = std::make_unique<Connection>();
    connection->id = id;
    connection->who = who;
    connection->address = address;
    connection->peer = socket->peerAddress();
    connection->link =
        new StreamConnection(socket, limits, m_timers,
                             {[this, id](const QByteArray& line) { lineFrom(id, line); },
                              {},
                              [this, id](const QString& why) { ended(id, why); }},
                             this);
    QByteArray greeting = "PJLINK 0\r";
    if (password) {
        const quint32 number = QRandomGenerator::system()->generate();
        connection->random = QByteArray::number(number, 16).rightJustified(8, '0');
        greeting = "PJLINK 1 " + connection->random + '\r';
        // The digest comes with the first request, at once, from a controller.
        connection->link->setIdle(
            kPjlinkAuthWait,
            QStringLiteral("closed: no password digest within %1 s").arg(kPjlinkAuthWait.count()));
    } else {
        connection->link->setIdle(kPjlinkIdle);
    }
    StreamConnection* link = connection->link;
    m_connections[id] = std::move(connection);
    if (!password)
        emit controllerConnected(socket->peerAddress());
    m_journal.complain(who, QStringLiteral("connected"), u"connected",
                       QStringLiteral("pjlink:") + address);
    link->write(greeting);
    link->start();
}

void PjlinkServer::lineFrom(ClientId id, const QByteArray& line) {
    const auto found = m_connections.find(id);
    if (found == m_connections.end())
        return;
    Connection& connection = *found->second;
    if (!connection.busy) {
        handle(connection, line);
        return;
    }
    if (int(connection.waiting.size()) >= kMaxWaitingRequests) {
        drop(id, QStringLiteral("closed: %1 requests waiting for their answers")
                     .arg(kMaxWaitingRequests));
        return;
    }
    connection.waiting.push_back(line);
}

void PjlinkServer::handle(Connection& connection, QByteArray line) {
    const ClientId id = connection.id;
    if (!connection.random.isEmpty()) {
        const QByteArray expected =
            QCryptographicHash::hash(connection.random + m_settings.password,
                                     QCryptographicHash::Md5)
                .toHex();
        if (line.left(kDigestLength) != expected) {
            connection.link->write("PJLINK ERRA\r");
            wrongDigest(connection);
            connection.link->finishWith({}, std::chrono::milliseconds(0), {});
            return;
        }
        connection.random.clear();
        connection.link->setIdle(kPjlinkIdle);
        connection.link->setLongestLine(kMaxPjlinkLine);
        m_lockouts.erase(connection.address);
        line.remove(0, kDigestLength);
        emit controllerConnected(connection.peer);
    }
    if (line.size() < 6 || line[0] != '%') {
        drop(id, QStringLiteral("closed: not a PJLink request: \"%1\"").arg(shown(line)));
        return;
    }
    connection.busy = true;
    connection.since = QDateTime::currentDateTimeUtc();
    connection.request = line;
    connection.command = line.mid(2, 4);
    connection.phase = Phase::Deciding;
    connection.toSend.clear();
    // Only the classes served, in their own upper-case names, are known here.
    connection.header = line[1];
    if (line.size() < 8 || line[6] != ' ') {
        const bool known =
            knownPjlinkRequest(connection.command, connection.header, m_settings.pjlinkClass);
        answer(connection, known ? "ERR2" : "ERR1");
        return;
    }
    connection.parameter = line.mid(7);
    runNext(id);
}

PjlinkDecision PjlinkServer::decide(const QByteArray& command, char header,
                                    const QByteArray& parameter, const QDateTime& readSince) const {
    const PjlinkFacts facts{m_queue.state(),
                            m_queue.lineOpen(),
                            [this](StateField field) { return m_queue.freshFor(field); },
                            QDateTime::currentDateTimeUtc(),
                            readSince,
                            m_videoMuted,
                            m_audioMuted,
                            m_settings.projectorName,
                            m_settings.model,
                            m_frozen,
                            m_settings.pjlinkClass,
                            m_settings.serialNumber};
    return decidePjlink(command, parameter, facts, header);
}

void PjlinkServer::runNext(ClientId id) {
    Connection& connection = *m_connections.at(id);
    if (!connection.toSend.isEmpty()) {
        m_queue.submit(id, connection.toSend.takeFirst(),
                       [this, id](const Exchange* exchange) { finished(id, exchange); });
        return;
    }
    if (connection.phase == Phase::Sending) {
        answer(connection, "OK");
        return;
    }
    const PjlinkDecision decision =
        decide(connection.command, connection.header, connection.parameter,
               connection.phase == Phase::Reading ? connection.since : QDateTime());
    if (!decision.reads.empty()) {
        if (connection.phase == Phase::Reading) {
            // Read, but into nothing this projector's replies mean.
            answer(connection, "ERR4");
            return;
        }
        connection.phase = Phase::Reading;
        for (const StateField field : decision.reads)
            connection.toSend.append(readCommand(field));
        runNext(id);
        return;
    }
    if (!decision.commands.isEmpty()) {
        connection.phase = Phase::Sending;
        connection.toSend = decision.commands;
        runNext(id);
        return;
    }
    answer(connection, decision.result);
}

void PjlinkServer::finished(ClientId id, const Exchange* exchange) {
    const auto found = m_connections.find(id);
    if (found == m_connections.end())
        return;
    Connection& connection = *found->second;
    QByteArray error;
    if (!exchange || noReply(exchange->kind) || exchange->kind == ReplyKind::Unfinished)
        error = "ERR3";
    else if (exchange->kind != ReplyKind::Answered)
        error = "ERR4";
    if (!error.isEmpty()) {
        connection.toSend.clear();
        answer(connection, error);
        return;
    }
    runNext(id);
}

void PjlinkServer::answer(Connection& connection, const QByteArray& result) {
    const QByteArray line = connection.request.left(6) + '=' + result + '\r';
    m_journal.write(
        connection.who,
        QStringLiteral("%1 -> %2").arg(shown(connection.request), shown(line.chopped(1))));
    // A controller that sends and never reads is let go past the unread limit.
    const ClientId id = connection.id;
    connection.link->write(line);
    if (!m_connections.contains(id))
        return;
    connection.busy = false;
    if (connection.waiting.empty())
        return;
    const QByteArray next = connection.waiting.front();
    connection.waiting.erase(connection.waiting.begin());
    handle(connection, next);
}

void PjlinkServer::wrongDigest(const Connection& connection) {
    const qint64 now = m_timers.now().count();
    for (auto at = m_lockouts.begin(); at != m_lockouts.end();) {
        const bool forgotten =
            now - at->second.lastFailure > std::chrono::milliseconds(kLockoutMemory).count();
        at = forgotten ? m_lockouts.erase(at) : std::next(at);
    }
    if (m_lockouts.size() >= kLockoutAddresses && !m_lockouts.contains(connection.address))
        m_lockouts.erase(std::ranges::min_element(m_lockouts, {}, [](const auto& entry) {
                             return entry.second.lastFailure;
                         })->first);
    Lockout& lockout = m_lockouts[connection.address];
    ++lockout.failures;
    lockout.lastFailure = now;
    const qint64 pause = std::min<qint64>(qint64(1000) << std::min(lockout.failures - 1, 16),
                                          std::chrono::milliseconds(kLongestLockout).count());
    lockout.until = now + pause;
    m_journal.complain(connection.who,
                       QStringLiteral("closed: wrong or missing password digest (PJLINK ERRA); "
                                      "%1 is locked out for %2 ms")
                           .arg(connection.address)
                           .arg(pause),
                       u"wrong password digest", QStringLiteral("pjlink:") + connection.address, 1);
}

void PjlinkServer::drop(ClientId id, const QString& why) {
    if (const auto found = m_connections.find(id); found != m_connections.end())
        found->second->link->end(why);
}

void PjlinkServer::ended(ClientId id, const QString& why) {
    const auto found = m_connections.find(id);
    if (found == m_connections.end())
        return;
    std::unique_ptr<Connection> connection = std::move(found->second);
    m_connections.erase(found);
    m_queue.removeClient(id);
    if (!why.isEmpty())
        m_journal.complain(connection->who, why, why.section(QLatin1Char(' '), 0, 2),
                           QStringLiteral("pjlink:") + connection->address);
    // A request may be halfway through its handling: the rest goes on the next turn.
    m_closing.push_back(std::move(connection));
    QMetaObject::invokeMethod(
        this, [this] { m_closing.clear(); }, Qt::QueuedConnection);
}

} // namespace kavo::service
