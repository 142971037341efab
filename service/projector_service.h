#pragma once

// kavo-projectord put together: the line it owns, the queue every command
// goes through, the state from the status reads, the clients' sockets, and
// PJLink and MQTT when asked for.

#include "alert_channels.h"
#include "alert_monitor.h"
#include "client_hub.h"
#include "journal.h"
#include "line_queue.h"
#include "mqtt_bridge.h"
#include "mqtt_link.h"
#include "owned_line.h"
#include "pjlink_server.h"
#include "pjlink_udp.h"
#include "port_factory.h"
#include "projector_state.h"
#include "scheduler.h"
#include "service_options.h"
#include "timer.h"

#include <functional>
#include <memory>

namespace kavo::service {

class ProjectorService {
  public:
    // The connection to an MQTT broker, when --mqtt asks for one.
    using MqttLinkFactory = kavo::MqttLinkFactory;

    ProjectorService(const ServiceOptions& options, PortFactory& ports, TimerFactory& timers,
                     Journal& journal, MqttLinkFactory mqtt = {});
    ~ProjectorService();

    // Listens, then opens the line (now or later). Empty on success, else why
    // the service cannot run.
    QString start();
    // Closes the line and the sockets.
    void stop(const QString& why);

    LineQueue& queue() { return *m_queue; }
    const ProjectorState& state() const { return m_state; }
    OwnedLine& line() { return *m_line; }
    const ServiceOptions& options() const { return m_options; }
    // The alerts, from start() on (null before).
    AlertMonitor* alerts() { return m_alerts.get(); }
    // The building on the broker, with --mqtt once started; else nullptr.
    Building* building() { return m_mqtt ? &m_mqtt->building() : nullptr; }
    // What the page asks of the building, with --mqtt once started; else nullptr.
    GroupActions* groupActions() { return m_mqtt ? &m_mqtt->groupActions() : nullptr; }
    // The schedule, with --schedule once started; else nullptr.
    Scheduler* scheduler() { return m_scheduler.get(); }
    // PJLink Class 2's searches and notifications; nullptr when not served.
    PjlinkUdp* pjlinkUdp() { return m_pjlinkUdp.get(); }

  private:
    QString startMqtt();
    QString startAlerts();

    ServiceOptions m_options;
    Journal& m_journal;
    ProjectorState m_state;
    std::unique_ptr<OwnedLine> m_line;
    std::unique_ptr<LineQueue> m_queue;
    std::unique_ptr<ClientHub> m_hub;
    std::unique_ptr<PjlinkServer> m_pjlink;
    std::unique_ptr<PjlinkUdp> m_pjlinkUdp; // Class 2's datagrams
    TimerFactory& m_timers;
    MqttLinkFactory m_mqttLinks;
    std::unique_ptr<MqttLink> m_mqttLink;
    std::unique_ptr<MqttBridge> m_mqtt;
    std::unique_ptr<Scheduler> m_scheduler;
    QStringList m_warnings; // said once the service runs
    bool m_stopped = false;
    // Alerts: the monitor and the channels it tells.
    std::vector<std::unique_ptr<AlertChannel>> m_alertChannels;
    std::unique_ptr<AlertMonitor> m_alerts;
};

} // namespace kavo::service
