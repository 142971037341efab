#include "api_types.h"

#include <QJsonDocument>

namespace kavo::web {

QByteArray ApiRequest::header(const QByteArray& name) const {
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

bool isLoopbackPeer(const QHostAddress& address) {
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    return address.isLoopback() || (mapped && QHostAddress(v4).isLoopback());
}

QString peerText(const QHostAddress& address) {
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    return mapped ? QHostAddress(v4).toString() : address.toString();
}

ApiResponse errorResponse(int status, const QString& message) {
    return jsonResponse(QJsonObject{{QStringLiteral("error"), message}}, status);
}

ApiResponse jsonResponse(const QJsonObject& object, int status) {
    ApiResponse response;
    response.status = status;
    response.body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return response;
}

} // namespace kavo::web
