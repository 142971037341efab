#pragma once

// A request to the web API and its answer as plain values, so that the
// route table is tested without sockets: what the HTTP server parsed, and
// the status, JSON body and extra headers to send back.

#include <QByteArray>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrlQuery>

namespace kavo::web {

struct ApiRequest {
    QByteArray method; // "GET", "POST" ...
    QString path;      // decoded, without the query
    QUrlQuery query;
    QList<QPair<QByteArray, QByteArray>> headers; // names as sent
    QByteArray body;
    QHostAddress peer;

    // The first header of that name, compared without case; empty if none.
    QByteArray header(const QByteArray& name) const;
};

struct ApiResponse {
    int status = 200;
    QByteArray contentType = "application/json";
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
};

// Whether a peer is this machine, IPv4 in IPv6 included.
bool isLoopbackPeer(const QHostAddress& address);
// A peer as the journal names it: 192.0.2.7 rather than ::ffff:192.0.2.7.
QString peerText(const QHostAddress& address);

// {"error": message} with the status, the same shape for every refusal.
ApiResponse errorResponse(int status, const QString& message);
ApiResponse jsonResponse(const QJsonObject& object, int status = 200);

} // namespace kavo::web
