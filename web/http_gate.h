#pragma once

// The listening side of the web front end, in front of Qt HTTP Server:
// QAbstractHttpServer bounds nothing itself (it keeps every byte of a request
// until the request is whole, and takes any number of connections), so this
// server accepts, optionally speaks TLS, and holds every connection to a
// number, a request size, a request time and an idle time before the HTTP
// server sees it. Bind it with QAbstractHttpServer::bind(), which takes it as
// a child and takes sockets on pendingConnectionAvailable.

#include "timer.h"

#include <chrono>
#include <memory>
#include <QByteArray>
#include <QPointer>
#include <QSslConfiguration>
#include <QString>
#include <QTcpServer>
#include <unordered_map>

class QTcpSocket;

namespace kavo::service {
class Journal;
}

namespace kavo::web {

struct GateLimits {
    int maxConnections = 256; // HTTP connections at once (WebSockets not counted once upgraded)
    qint64 maxRequestBytes = 64 * 1024;     // one request, head and body
    std::chrono::seconds requestTime{10};   // a request begun must be whole within this
    std::chrono::seconds idleTime{60};      // a kept-alive connection without a request
    std::chrono::seconds handshakeTime{10}; // TLS handshake
};

class HttpGate : public QTcpServer {
    Q_OBJECT
  public:
    HttpGate(TimerFactory& timers, service::Journal& journal, GateLimits limits = {},
             QObject* parent = nullptr);
    ~HttpGate() override;

    // Loads a PEM certificate (chain) and private key; from then on every connection speaks TLS
    // (QSslSocket, server mode). Empty, or why not (naming the file, never the key's content).
    QString useTls(const QString& certificateFile, const QString& keyFile);
    bool tls() const { return m_tls; }

    // The HTTP server calls these: a request reached it whole (the byte count and the request
    // clock start again for the next one on a kept-alive connection), and the connection became
    // a WebSocket (the gate lets it go: no HTTP limits any more, no longer counted). Both from
    // handleRequest(): Qt 6.4 calls it for an upgrade too, before its WebSocket server takes the
    // socket; the WebSocket's own frame and message limits bound it from then on.
    void requestHandled(QTcpSocket* socket);
    void upgraded(QTcpSocket* socket);
    // The answer to a handled request went out. Until then the connection is
    // not idle, however long the projector takes (a power command waits out
    // a warm-up): the API's own time limits bound that.
    void answered(QTcpSocket* socket);
    int connectionCount() const;

  protected:
    void incomingConnection(qintptr descriptor) override;

  private:
    using Time = std::chrono::milliseconds;
    struct Peer {
        QPointer<QTcpSocket> socket;
        QString who;   // "http:ADDRESS"
        Time since{0}; // accepted, or the last byte
        Time requestStarted{0};
        qint64 requestBytes = 0;
        qint64 headBytes = -1; // up to and with the blank line, once seen
        QByteArray tail;       // the last bytes of the head so far, for a blank line cut by a read
        bool handshaking = false;
        bool inRequest = false;
        bool closing = false;
        int answering = 0; // handled requests not answered yet
    };

    Peer& admit(QTcpSocket* socket);
    void handOver(QTcpSocket* socket);
    void bytesArrived(QTcpSocket* socket);
    void checkClosed(QTcpSocket* socket);
    void sweep();
    void makeRoom();
    // Answers `status` with {"error": its reason}, closes, and journals what the peer did.
    void refuse(Peer& peer, int status, const QString& what, QStringView kind);
    // Closes without a word (`abort`: now, dropping what was not sent).
    void close(Peer& peer, bool abort);
    void complain(const Peer& peer, const QString& what, QStringView kind);
    Peer* find(QTcpSocket* socket);
    void forget(QTcpSocket* socket);
    void purge();

    TimerFactory& m_timers;
    service::Journal& m_journal;
    GateLimits m_limits;
    std::unique_ptr<Timer> m_sweep;
    bool m_tls = false;
    QSslConfiguration m_tlsConfiguration;
    std::unordered_map<QTcpSocket*, Peer> m_peers;
};

} // namespace kavo::web
