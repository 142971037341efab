#pragma once

// The web page of kavo-projectord put together: the bounded listening
// server in front, Qt's HTTP server behind it, the API's route table, the
// page's files from the resources, the event streams and the metrics.

#include "api_types.h"
#include "event_streams.h"
#include "http_gate.h"
#include "service_options.h"
#include "web_api.h"

#include <memory>
#include <QAbstractHttpServer>

namespace kavo::web {

struct WebFrontEndSettings {
    WebSettings page;
    service::ListenAddress listen;
    QString certificateFile; // both empty: no TLS
    QString keyFile;
};

class WebFrontEnd final : public QAbstractHttpServer {
  public:
    WebFrontEnd(service::LineQueue& queue, TimerFactory& timers, service::Journal& journal,
                WebFrontEndSettings settings, std::function<LineFacts()> line);
    ~WebFrontEnd() override;

    // Listens; empty, or why the page cannot be served.
    QString start();
    void close();
    void lineChanged(bool open) { m_api.lineChanged(open); }
    WebApi& api() { return m_api; }
    void setScheduler(service::Scheduler* scheduler) { m_api.setScheduler(scheduler); }
    quint16 port() const;

  protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

  private:
    void serve(const ApiRequest& request, const WebApi::Respond& respond);

    service::Journal& m_journal;
    WebFrontEndSettings m_settings;
    WebApi m_api;
    EventStreams m_streams;
    HttpGate* m_gate = nullptr; // owned by this server once bound
};

} // namespace kavo::web
