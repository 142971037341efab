#pragma once

// The service as a PJLink Class 1 projector: control systems connect on TCP
// (4352 is the standard port), are greeted with "PJLINK 0", or "PJLINK 1"
// and a random number when a password is set (the first command then comes
// after the MD5 digest of that number and the password), and send "%1"
// commands, which are translated into this projector's commands and status
// reads through the line queue. Each answer is "%1" + command + "=" +
// result: "OK", a value, or ERR1 (undefined command), ERR2 (bad parameter),
// ERR3 (unavailable now: the line down, no answer, a power state that
// forbids it), ERR4 (the projector's failure, or its "?") and "PJLINK ERRA"
// for a wrong digest, after which the connection is closed.
//
// A connection is closed when it sends nothing for 30 s, a line longer than
// a request can be, or something that is not a request; at most
// kMaxPjlinkConnections are served at once.

#include "journal.h"
#include "line_queue.h"
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

struct PjlinkSettings {
    ListenAddress listen;
    QByteArray password;   // empty: no authentication
    QString projectorName; // NAME ?
    QString model;         // INF2 ?
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

  private:
    enum class Phase;
    struct Connection;
    struct Decision;

    void accept(QTcpSocket* socket);
    void readFrom(ClientId id);
    void handle(Connection& connection, QByteArray line);
    void answer(Connection& connection, const QByteArray& result);
    void runNext(ClientId id);
    void finished(ClientId id, const Exchange* exchange);
    // readSince: what was read from then on counts as current.
    Decision decide(const QByteArray& command, const QByteArray& parameter,
                    const QDateTime& readSince);
    void drop(ClientId id, const QString& why);

    LineQueue& m_queue;
    TimerFactory& m_timers;
    Journal& m_journal;
    QString m_serviceName;
    PjlinkSettings m_settings;
    QTcpServer m_server;
    std::map<ClientId, std::unique_ptr<Connection>> m_connections;
    std::vector<std::unique_ptr<Connection>> m_closing; // dropped, deleted on the next turn
    ClientId m_nextId = 1ull << 32;                     // apart from the socket clients' ids
    std::optional<bool> m_videoMuted;
    std::optional<bool> m_audioMuted;
};

} // namespace kavo::service
