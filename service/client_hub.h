#pragma once

// Where clients connect: a Unix-domain socket (mode 0660, in a folder no
// other user can write to), and optionally a TCP port. Each client's bytes
// up to a CR are one command for the line queue; its replies come back on
// its own connection only.
//
// Memory is bounded per client: the socket reads at most kReadBuffer bytes
// ahead, a command longer than kMaxCommandBytes is dropped (and said once),
// and a client that leaves more than kMaxUnreadReplies bytes of replies
// unread is disconnected. At most kMaxClients are connected at once.

#include "journal.h"
#include "line_queue.h"
#include "service_options.h"

#include <map>
#include <QLocalServer>
#include <QObject>
#include <QTcpServer>

namespace kavo::service {

inline constexpr int kMaxClients = 64;
inline constexpr qsizetype kMaxCommandBytes = 256;
inline constexpr qint64 kReadBuffer = 64 * 1024;
inline constexpr qint64 kMaxUnreadReplies = 1024 * 1024;

// A TCP peer as the journal names it: ADDRESS:PORT, an IPv6 address in brackets.
QString peerAddress(const QAbstractSocket& socket);

class ClientHub final : public QObject {
    Q_OBJECT
  public:
    ClientHub(LineQueue& queue, Journal& journal, QString name);
    ~ClientHub() override;

    // Empty on success, else why the socket cannot be served. A socket file
    // that nobody answers on is replaced; one that a running service
    // answers on is left alone.
    QString listenLocal(const QString& path);
    QString listenTcp(const ListenAddress& address);
    // Stops listening (the socket file goes) and lets every client go.
    void close();

  private:
    struct Connection {
        QIODevice* socket = nullptr;
        QString who;
        QByteArray line;
        qsizetype overlong = 0; // bytes of the current command past the limit
    };

    void accept(QIODevice* socket, const QString& who);
    void readFrom(ClientId id);
    void reply(ClientId id, const QString& bytes);
    void drop(ClientId id, const QString& why);

    LineQueue& m_queue;
    Journal& m_journal;
    QString m_name;
    QLocalServer m_local;
    QTcpServer m_tcp;
    std::map<ClientId, Connection> m_connections;
    ClientId m_nextId = 1;
};

} // namespace kavo::service
