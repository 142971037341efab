#include "event_streams.h"

#include <QJsonDocument>
#include <QNetworkRequest>
#include <QUrl>

namespace kavo::web {

EventStreams::EventStreams(WebApi& api, TimerFactory& timers, service::Journal& journal)
    : m_api(api), m_timers(timers), m_journal(journal) {}

EventStreams::~EventStreams() {
    for (Stream& stream : m_streams) {
        stream.socket->disconnect(this);
        stream.socket->abort();
    }
}

void EventStreams::take(std::unique_ptr<QWebSocket> socket) {
    QWebSocket* raw = socket.get();
    const QString address = QStringLiteral("http:") + peerText(raw->peerAddress());
    // The handshake's own headers decide: the cookie or a bearer token, and
    // for a browser, the page's own origin (no other site's page may listen).
    ApiRequest request;
    request.method = "GET";
    request.path = raw->requestUrl().path();
    request.peer = raw->peerAddress();
    const QNetworkRequest handshake = raw->request();
    for (const QByteArray& name : handshake.rawHeaderList())
        request.headers.append({name, handshake.rawHeader(name)});
    const QByteArray origin = raw->origin().toUtf8();
    const QByteArray host = request.header("Host");
    const bool sameOrigin =
        origin.isEmpty() || QUrl(QString::fromUtf8(origin)).authority() == QString::fromUtf8(host);
    std::optional<Identity> identity;
    if (request.path == QLatin1String("/api/v1/events") && sameOrigin)
        identity = m_api.identify(request);
    if (!identity) {
        m_journal.complain(address,
                           QStringLiteral("opened an event stream without signing in, from "
                                          "another origin or on another path; closed"),
                           u"stream refused");
        raw->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("sign in first"));
        raw->setParent(this);
        raw->deleteLater();
        socket.release();
        return;
    }
    if (int(m_streams.size()) >= kMaxStreams) {
        m_journal.complain(
            address, QStringLiteral("opened an event stream past %1; closed").arg(kMaxStreams),
            u"too many streams");
        raw->close(QWebSocketProtocol::CloseCodeTooMuchData, QStringLiteral("too many pages"));
        raw->setParent(this);
        raw->deleteLater();
        socket.release();
        return;
    }
    raw->setMaxAllowedIncomingMessageSize(kMaxIncomingMessage);
    raw->setMaxAllowedIncomingFrameSize(kMaxIncomingMessage);
    raw->setReadBufferSize(kMaxIncomingMessage * 4);
    connect(raw, &QWebSocket::bytesWritten, this, [this, raw](qint64 written) {
        if (Stream* stream = find(raw))
            stream->backlog = std::max<qint64>(0, stream->backlog - written);
    });
    connect(raw, &QWebSocket::textMessageReceived, this, [this, raw] { received(raw); });
    connect(raw, &QWebSocket::binaryMessageReceived, this, [this, raw] { received(raw); });
    connect(raw, &QWebSocket::disconnected, this, [this, raw] { removeLater(raw); });
    m_streams.push_back(Stream{std::move(socket), identity->who, identity->name,
                               identity->sessionKey, 0, 0, m_timers.now()});
    m_api.setStreams(count());
    send(m_streams.back(),
         QJsonDocument(QJsonObject{{QStringLiteral("type"), QStringLiteral("state")},
                                   {QStringLiteral("state"), m_api.state()}})
             .toJson(QJsonDocument::Compact));
}

void EventStreams::broadcast(const QJsonObject& message) {
    if (m_streams.empty())
        return;
    const QByteArray text = QJsonDocument(message).toJson(QJsonDocument::Compact);
    // Sending may close a stream that never reads: go by sockets, not places.
    std::vector<QWebSocket*> sockets;
    for (const Stream& stream : m_streams)
        sockets.push_back(stream.socket.get());
    for (QWebSocket* socket : sockets) {
        if (Stream* stream = find(socket))
            send(*stream, text);
    }
}

void EventStreams::send(Stream& stream, const QByteArray& message) {
    if (stream.backlog + message.size() > kMaxStreamBacklog) {
        m_journal.complain(stream.who,
                           QStringLiteral("left more than %1 KiB of events unread; closed")
                               .arg(kMaxStreamBacklog / 1024),
                           u"stream not reading");
        close(stream.socket.get(), QWebSocketProtocol::CloseCodeTooMuchData,
              QStringLiteral("not reading"));
        return;
    }
    stream.backlog += message.size();
    stream.socket->sendTextMessage(QString::fromUtf8(message));
}

void EventStreams::received(QWebSocket* socket) {
    Stream* stream = find(socket);
    if (!stream)
        return;
    const std::chrono::milliseconds now = m_timers.now();
    if (now - stream->periodStart >= kIncomingPeriod) {
        stream->periodStart = now;
        stream->received = 0;
    }
    if (++stream->received > kMaxIncomingPerPeriod) {
        m_journal.complain(stream->who,
                           QStringLiteral("sent more than %1 messages in %2 s on its event "
                                          "stream; closed")
                               .arg(kMaxIncomingPerPeriod)
                               .arg(kIncomingPeriod.count()),
                           u"stream flood");
        close(socket, QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("flood"));
    }
}

void EventStreams::endSession(const QString& name, const QByteArray& sessionKey) {
    const QByteArray ended =
        QJsonDocument(QJsonObject{{QStringLiteral("type"), QStringLiteral("session_ended")}})
            .toJson(QJsonDocument::Compact);
    std::vector<QWebSocket*> closing;
    for (Stream& stream : m_streams) {
        if (stream.name == name && (sessionKey.isEmpty() || stream.sessionKey == sessionKey)) {
            stream.socket->sendTextMessage(QString::fromUtf8(ended));
            closing.push_back(stream.socket.get());
        }
    }
    for (QWebSocket* socket : closing)
        close(socket, QWebSocketProtocol::CloseCodeNormal, QStringLiteral("signed out"));
}

void EventStreams::close(QWebSocket* socket, QWebSocketProtocol::CloseCode code,
                         const QString& why) {
    socket->close(code, why);
    removeLater(socket);
}

EventStreams::Stream* EventStreams::find(QWebSocket* socket) {
    for (Stream& stream : m_streams) {
        if (stream.socket.get() == socket)
            return &stream;
    }
    return nullptr;
}

// A socket is deleted only from the event loop: it may be in one of its own
// signals now.
void EventStreams::removeLater(QWebSocket* socket) {
    const auto found = std::ranges::find_if(
        m_streams, [socket](const Stream& stream) { return stream.socket.get() == socket; });
    if (found == m_streams.end())
        return;
    QWebSocket* raw = found->socket.release();
    m_streams.erase(found);
    raw->disconnect(this);
    raw->setParent(this);
    raw->deleteLater();
    m_api.setStreams(count());
}

} // namespace kavo::web
