#pragma once
#include "journal.h"
#include "timer.h"

#include <QTcpServer>
#include <QTcpSocket>
namespace kavo::web {
class HttpGate : public QTcpServer {
  public:
    HttpGate(TimerFactory&, service::Journal&) {}
    QString useTls(const QString&, const QString&) { return {}; }
    bool tls() const { return false; }
    void requestHandled(QTcpSocket*) {}
    void upgraded(QTcpSocket*) {}
};
} // namespace kavo::web
