#pragma once

// The service as a PJLink projector of Class 1 or 2: control systems connect
// on TCP (4352 is the standard port), are greeted with "PJLINK 0", or
// "PJLINK 1" and a random number when a password is set (the first command
// then comes after the MD5 digest of that number and the password), and send
// "%1" commands (and "%2" ones for Class 2), which are translated into this
// projector's commands and status reads through the line queue. Each answer
// is the request's header ("%1", "%2") + command + "=" +
// result: "OK", a value, or ERR1 (undefined command), ERR2 (bad parameter),
// ERR3 (unavailable now: the line down, no answer, a power state that
// forbids it), ERR4 (the projector's failure, or its "?") and "PJLINK ERRA"
// for a wrong digest, after which the connection is closed.
//
// A connection is closed when it sends nothing for 30 s, a line longer than
// a request can be, or something that is not a request; at most
// kMaxPjlinkConnections are served at once.
//
// With a password, strangers cannot hold the connections a controller
// needs: a connection that has not sent its digest within kPjlinkAuthWait is
// closed, at most kMaxUnauthenticated connections wait for their digest at
// once (kMaxUnauthenticatedPerAddress from one address, or one /64 of IPv6),
// and wrong digests lock their address out for a growing pause, 1 s, 2 s,
// 4 s ... at most kLongestLockout, as a network projector locks its login.

#include "journal.h"
#include "line_queue.h"
#include "pjlink_requests.h"
#include "service_options.h"
#include "timer.h"

#include <map>
#include <memory>
#include <optional>
#include <QObject>
#include <QTcpServer>
#include <vector>

namespace kavo::service {

inline constexpr int kMaxPjlinkConnections = 16;
inline constexpr qsizetype kMaxPjlinkLine = 136; // with the digest in front: 168
inline constexpr std::chrono::seconds kPjlinkIdle{30};
// Answers a controller has not read: beyond this its connection is closed.
inline constexpr qint64 kMaxPjlinkUnread = 64 * 1024;
inline constexpr std::chrono::seconds kPjlinkAuthWait{5};
inline constexpr int kMaxUnauthenticated = 12;
inline constexpr int kMaxUnauthenticatedPerAddress = 4;
inline constexpr std::chrono::seconds kLongestLockout{60};
// Wrong digests from an address are forgotten after this long without one.
inline constexpr std::chrono::minutes kLockoutMemory{10};
inline constexpr std::size_t kLockoutAddresses = 1024;

struct PjlinkSettings {
    ListenAddress listen;
    QByteArray password;   // empty: no authentication
    QString projectorName; // NAME ?
    QString model;         // INF2 ?
    int pjlinkClass = 2;
    QString serialNumber; // SNUM ?
};

class PjlinkServer final : public QObject {
    Q_OBJECT
  public:
    PjlinkServer(LineQueue& queue, TimerFactory& timers, Journal& journal, QString serviceName,
                 PjlinkSettings settings);
    ~PjlinkServer() override;

    // Empty on success, else why it cannot listen.
    QString listen();
    void close();
    // Where it listens, its port chosen when 0 was asked for.
    quint16 port() const { return m_server.serverPort(); }

  signals:
    // A controller connected and, with a password, proved it knows it.
    void controllerConnected(const QHostAddress& address);

  private:
    enum class Phase;
    struct Connection;

    void accept(QTcpSocket* socket);
    void lineFrom(ClientId id, const QByteArray& line);
    void ended(ClientId id, const QString& why);
    void handle(Connection& connection, QByteArray line);
    void answer(Connection& connection, const QByteArray& result);
    void runNext(ClientId id);
    void finished(ClientId id, const Exchange* exchange);
    // readSince: what was read from then on counts as current.
    PjlinkDecision decide(const QByteArray& command, char header, const QByteArray& parameter,
                          const QDateTime& readSince) const;
    void drop(ClientId id, const QString& why);
    // Why a connection from `address` is not served now, else nothing.
    struct Refusal {
        QString why;
        QStringView kind;
    };
    Refusal refusal(const QString& address) const;
    void wrongDigest(const Connection& connection);

    struct Lockout {
        int failures = 0;
        qint64 lastFailure = 0; // ms on the timers' clock
        qint64 until = 0;
    };

    LineQueue& m_queue;
    TimerFactory& m_timers;
    Journal& m_journal;
    QString m_serviceName;
    PjlinkSettings m_settings;
    QTcpServer m_server;
    std::map<ClientId, std::unique_ptr<Connection>> m_connections;
    std::vector<std::unique_ptr<Connection>> m_closing; // dropped, deleted on the next turn
    std::map<QString, Lockout> m_lockouts;              // by address
    std::optional<bool> m_videoMuted;
    std::optional<bool> m_audioMuted;
    std::optional<bool> m_frozen;
};

} // namespace kavo::service
