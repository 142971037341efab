#pragma once

// Where clients connect: a Unix-domain socket (mode 0660, in a folder no
// other user can write to), and optionally a TCP port. Each client's bytes
// up to a CR are one command for the line queue; its replies come back on
// its own connection only.
//
// While the line to the projector is down, a client is told so in a line of
// its own (see service_lines.h) and its connection ended: on connecting,
// and when the line is lost. While the line is up nothing but the replies
// ever reaches a client, unless it asks the service itself (a line starting
// with NAK: "state" is answered with what the service knows).
//
// Memory is bounded per client: the socket reads at most kReadBuffer bytes
// ahead, a command longer than kMaxCommandBytes is dropped (and said once),
// and a client that leaves more than kMaxUnreadReplies bytes of replies
// unread is disconnected. The socket and TCP each serve at most kMaxClients
// at once, so that TCP peers cannot take the socket's users' room.

#include "journal.h"
#include "line_queue.h"
#include "service_options.h"
#include "stream_connection.h"

#include <functional>
#include <map>
#include <optional>
#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QTcpServer>
#ifdef Q_OS_WIN
#include "local_pipe.h"
#else
#include <QLocalServer>
#endif

namespace kavo::service {

// The local endpoint's server: on Windows the service's own pipe server,
// whose pipe has the access the configuration gives it.
#ifdef Q_OS_WIN
using LocalServer = LocalPipeServer;
#else
using LocalServer = QLocalServer;
#endif

inline constexpr int kMaxClients = 64;
inline constexpr qsizetype kMaxCommandBytes = 256;
inline constexpr qint64 kReadBuffer = 64 * 1024;
inline constexpr qint64 kMaxUnreadReplies = 1024 * 1024;
// How long a client told that the line is down has to read that and go.
inline constexpr int kNoticeLingerMs = 2000;

struct LineDown {
    QDateTime since;
    QString reason;
};

// A TCP peer as the journal names it: ADDRESS:PORT, an IPv6 address in brackets.
QString peerAddress(const QAbstractSocket& socket);

class ClientHub final : public QObject {
    Q_OBJECT
  public:
    // `lineDown` tells since when and why the line is down, nothing while it is up.
    ClientHub(LineQueue& queue, TimerFactory& timers, Journal& journal, QString name,
              std::function<std::optional<LineDown>()> lineDown);
    ~ClientHub() override;

    // Empty on success, else why the socket cannot be served. A socket file
    // that nobody answers on is replaced; one that a running service
    // answers on is left alone. On Windows `pipeUsers` is the SID of the
    // users the pipe is open to besides the administrators.
    QString listenLocal(const QString& path, const QString& pipeUsers = {});
    QString listenTcp(const ListenAddress& address);
    // Stops listening (the socket file goes) and lets every client go.
    void close();

    // Every client is told that the line is down, and goes.
    void lineLost();
    // What the "alerts" request answers: {"open": [...], "events": [...]}.
    void setAlerts(std::function<QJsonObject()> alerts) { m_alerts = std::move(alerts); }
    // The answer to the request "schedule"; without it the request is unknown.
    void setScheduleAnswer(std::function<QJsonObject()> answer) {
        m_scheduleAnswer = std::move(answer);
    }

  private:
    struct Connection {
        StreamConnection* link = nullptr; // deletes itself once ended
        QString who;
        QString source; // who, without what changes from one connection to the next
        bool tcp = false;
    };

    void accept(QIODevice* socket, const QString& who, const QString& source, bool tcp);
    void take(ClientId id, const QByteArray& line);
    void overlong(ClientId id, qsizetype length, bool atEnd);
    void reply(ClientId id, const QString& bytes);
    void answerRequest(ClientId id, const QByteArray& request);
    void tellLineDown(ClientId id, const LineDown& down);
    void ended(ClientId id, const QString& why);

    LineQueue& m_queue;
    TimerFactory& m_timers;
    Journal& m_journal;
    QString m_name;
    LocalServer m_local;
    QTcpServer m_tcp;
    std::map<ClientId, Connection> m_connections;
    int m_localCount = 0;
    int m_tcpCount = 0;
    std::function<std::optional<LineDown>()> m_lineDown;
    std::function<QJsonObject()> m_alerts;
    std::function<QJsonObject()> m_scheduleAnswer;
};

} // namespace kavo::service
