#pragma once

// The page's live view: one WebSocket per open page, told of every change of
// the state, each journal line and the steps of a power command. The page
// sends nothing; a peer that floods is closed, and one that never reads is
// closed once what waits for it passes a limit, so that a stuck browser
// costs a bounded amount of memory and never slows anyone else.

#include "web_api.h"

#include <memory>
#include <QObject>
#include <QWebSocket>
#include <vector>

namespace kavo::web {

inline constexpr int kMaxStreams = 256;
// Unsent bytes a page may leave waiting before it is closed.
inline constexpr qint64 kMaxStreamBacklog = 1024 * 1024;
inline constexpr qint64 kMaxIncomingMessage = 4096;
// Messages a page may send in one period before it is taken for a flood.
inline constexpr int kMaxIncomingPerPeriod = 20;
inline constexpr std::chrono::seconds kIncomingPeriod{10};

class EventStreams final : public QObject {
  public:
    EventStreams(WebApi& api, TimerFactory& timers, service::Journal& journal);
    ~EventStreams() override;

    // A WebSocket the HTTP server upgraded: kept when it is a signed-in
    // page's on /api/v1/events from the page's own origin, else closed.
    void take(std::unique_ptr<QWebSocket> socket);
    // Sends to every page.
    void broadcast(const QJsonObject& message);
    // Ends the streams of a session (or of every session of the account when
    // `sessionKey` is empty).
    void endSession(const QString& name, const QByteArray& sessionKey);
    int count() const { return int(m_streams.size()); }

  private:
    struct Stream {
        std::unique_ptr<QWebSocket> socket;
        QString who;
        QString name;
        QByteArray sessionKey;
        qint64 backlog = 0; // bytes handed to the socket and not yet written
        int received = 0;   // in this period
        std::chrono::milliseconds periodStart{0};
    };
    void send(Stream& stream, const QByteArray& message);
    void close(QWebSocket* socket, QWebSocketProtocol::CloseCode code, const QString& why);
    void received(QWebSocket* socket);
    Stream* find(QWebSocket* socket);
    void removeLater(QWebSocket* socket);

    WebApi& m_api;
    TimerFactory& m_timers;
    service::Journal& m_journal;
    std::vector<Stream> m_streams;
};

} // namespace kavo::web
