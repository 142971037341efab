#include "web_front_end.h"

#include "port_paths.h"

#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QPointer>
#include <QTcpSocket>

namespace kavo::web {
namespace {

struct PageFile {
    const char* path;
    const char* resource;
    const char* type;
};
// The page's files, by the only names they are served under: nothing else
// is looked up, so no path can lead anywhere else.
constexpr PageFile kPageFiles[] = {
    {"/", ":/page/index.html", "text/html; charset=utf-8"},
    {"/index.html", ":/page/index.html", "text/html; charset=utf-8"},
    {"/app.js", ":/page/app.js", "text/javascript; charset=utf-8"},
    {"/app.css", ":/page/app.css", "text/css; charset=utf-8"},
};

const QByteArray kContentSecurity =
    "default-src 'self'; connect-src 'self'; img-src 'self' data:; style-src 'self'; "
    "script-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'";

QByteArray methodWord(QHttpServerRequest::Method method) {
    switch (method) {
    case QHttpServerRequest::Method::Get:
        return "GET";
    case QHttpServerRequest::Method::Put:
        return "PUT";
    case QHttpServerRequest::Method::Delete:
        return "DELETE";
    case QHttpServerRequest::Method::Post:
        return "POST";
    case QHttpServerRequest::Method::Head:
        return "HEAD";
    case QHttpServerRequest::Method::Options:
        return "OPTIONS";
    case QHttpServerRequest::Method::Patch:
        return "PATCH";
    default:
        return "OTHER";
    }
}

} // namespace

WebFrontEnd::WebFrontEnd(service::LineQueue& queue, TimerFactory& timers, service::Journal& journal,
                         WebFrontEndSettings settings, std::function<LineFacts()> line)
    : m_journal(journal), m_settings(std::move(settings)),
      m_api(queue, timers, journal, m_settings.page, std::move(line)),
      m_streams(m_api, timers, journal) {
    m_gate = new HttpGate(timers, journal, {}, this);
    m_api.setEvents([this](const QJsonObject& message) { m_streams.broadcast(message); });
    m_api.setSessionEnded(
        [this](const QString& name, const QByteArray& key) { m_streams.endSession(name, key); });
    connect(this, &QAbstractHttpServer::newWebSocketConnection, this, [this] {
        while (hasPendingWebSocketConnections())
            m_streams.take(std::unique_ptr<QWebSocket>(nextPendingWebSocketConnection()));
    });
}

WebFrontEnd::~WebFrontEnd() {
    close();
}

QString WebFrontEnd::start() {
    if (QString error = m_api.start(); !error.isEmpty())
        return error;
    if (!m_settings.certificateFile.isEmpty()) {
        if (QString error = m_gate->useTls(m_settings.certificateFile, m_settings.keyFile);
            !error.isEmpty())
            return error;
    }
    if (!m_gate->listen(m_settings.listen.address, m_settings.listen.port))
        return QStringLiteral("cannot serve the web page on %1: %2")
            .arg(m_settings.listen.text, m_gate->errorString());
    bind(m_gate);
    const QString scheme = m_gate->tls() ? QStringLiteral("https") : QStringLiteral("http");
    QString host = m_settings.listen.address.toString();
    if (m_settings.listen.address.protocol() == QAbstractSocket::IPv6Protocol)
        host = QLatin1Char('[') + host + QLatin1Char(']');
    m_journal.write(
        m_settings.page.name,
        QStringLiteral("web page on %1://%2:%3/").arg(scheme, host).arg(m_gate->serverPort()));
    if (m_settings.page.exposed)
        m_journal.write(m_settings.page.name,
                        QStringLiteral("warning: the web page on %1 is reachable from other "
                                       "machines without TLS: passwords cross the network "
                                       "readable; give --https-cert and --https-key")
                            .arg(m_settings.listen.text));
    return {};
}

void WebFrontEnd::close() {
    if (m_gate)
        m_gate->QTcpServer::close();
}

quint16 WebFrontEnd::port() const {
    return m_gate ? m_gate->serverPort() : 0;
}

bool WebFrontEnd::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
    m_gate->requestHandled(socket);
    // Qt's server upgrades a WebSocket handshake by itself after this; the
    // stream decides then whether it stays.
    if (request.value("Upgrade").compare("websocket", Qt::CaseInsensitive) == 0) {
        m_gate->upgraded(socket);
        return true;
    }
    ApiRequest api;
    api.method = methodWord(request.method());
    api.path = request.url().path();
    api.query = request.query();
    api.headers = request.headers();
    api.body = request.body();
    api.peer = request.remoteAddress();
    auto responder = std::make_shared<QHttpServerResponder>(makeResponder(request, socket));
    QPointer<QTcpSocket> alive(socket);
    QPointer<HttpGate> gate(m_gate);
    const bool head = api.method == "HEAD";
    serve(api, [responder, alive, gate, head](const ApiResponse& response) {
        // The peer may have gone while the projector answered.
        if (!alive)
            return;
        if (gate)
            gate->answered(alive);
        responder->writeStatusLine(QHttpServerResponder::StatusCode(response.status));
        if (!response.body.isEmpty() || response.status != 204) {
            responder->writeHeader("Content-Type", response.contentType);
            responder->writeHeader("Content-Length", QByteArray::number(response.body.size()));
        }
        responder->writeHeader("X-Content-Type-Options", "nosniff");
        responder->writeHeader("Referrer-Policy", "no-referrer");
        responder->writeHeader("Cache-Control", "no-store");
        for (const auto& [name, value] : response.headers)
            responder->writeHeader(name, value);
        if (!head)
            responder->writeBody(response.body);
        else
            responder->writeBody(QByteArray());
    });
    return true;
}

void WebFrontEnd::serve(const ApiRequest& request, const WebApi::Respond& respond) {
    if (request.path.startsWith(QLatin1String("/api/")))
        return m_api.handle(request, respond);
    if (request.path == QLatin1String("/metrics")) {
        if (request.method != "GET" && request.method != "HEAD")
            return respond(errorResponse(405, QStringLiteral("use GET")));
        // Open to this machine, and to others with an account or token.
        if (!isLoopbackPeer(request.peer) && !m_api.identify(request))
            return respond(errorResponse(401, QStringLiteral("sign in or give a token")));
        return respond(
            ApiResponse{200, "text/plain; version=0.0.4; charset=utf-8", m_api.metricsText(), {}});
    }
    for (const PageFile& file : kPageFiles) {
        if (request.path != QLatin1String(file.path))
            continue;
        if (request.method != "GET" && request.method != "HEAD")
            return respond(errorResponse(405, QStringLiteral("use GET")));
        QFile resource(QString::fromLatin1(file.resource));
        if (!resource.open(QIODevice::ReadOnly))
            break;
        ApiResponse response{200, file.type, resource.readAll(), {}};
        response.headers.append({"Content-Security-Policy", kContentSecurity});
        response.headers.append({QByteArrayLiteral("X-Frame-Options"), QByteArrayLiteral("DENY")});
        return respond(response);
    }
    m_journal.complain(
        QStringLiteral("http:") + peerText(request.peer),
        QStringLiteral("%1 %2: 404")
            .arg(QString::fromLatin1(request.method), escapeControls(request.path.left(200))),
        u"not found");
    respond(errorResponse(404, QStringLiteral("no such page")));
}

void WebFrontEnd::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) {
    makeResponder(request, socket).write(QHttpServerResponder::StatusCode::NotFound);
}

} // namespace kavo::web
