#pragma once

// The MQTT side of the building's figures: Debian's mosquitto on a free
// loopback port, which can be killed and started again on the same port,
// and a client in the driver that notes every message with the time it
// arrived and publishes as a requester does.

#include "bench_process.h"
#include "bench_run.h"

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <QByteArray>
#include <QString>
#include <vector>

struct mosquitto;

namespace kavo::bench {

class Broker {
  public:
    explicit Broker(const Workspace& workspace) : m_workspace(workspace) {}
    ~Broker() { stop(m_process); }
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    // Whether it is installed; without it the parts on a broker are left out.
    static bool available();
    // Starts it (again on the same port after kill()) and waits until it
    // accepts connections. Anonymous, without persistence: what it kept is
    // gone once it is killed.
    bool start(QString* error);
    // SIGKILL: gone as after a crash, without a word to its clients.
    void kill();
    const Child& process() const { return m_process; }
    quint16 port() const { return m_port; }
    QString url() const;

  private:
    const Workspace& m_workspace;
    Child m_process;
    quint16 m_port = 0;
};

struct MqttMessage {
    QString topic;
    QByteArray payload;
    double at; // nowMs() when it arrived
};

// Subscribed to every topic, on libmosquitto's own thread, again after each
// reconnection; MQTT 5, so that it can ask as a group action asks.
class MqttWatcher {
  public:
    explicit MqttWatcher(quint16 port);
    ~MqttWatcher();
    MqttWatcher(const MqttWatcher&) = delete;
    MqttWatcher& operator=(const MqttWatcher&) = delete;

    // Connected and subscribed.
    bool connected() const { return m_connected; }
    // QoS 1, not retained.
    void publish(const QString& topic, const QByteArray& payload);
    // The same with a response topic, correlation data and the requester as
    // the user property "requester".
    void request(const QString& topic, const QByteArray& payload, const QString& responseTopic,
                 const QByteArray& correlation, const QString& requester);
    // When the topic first carried the payload (any, when empty) at or
    // after `since`, waiting until `deadline` for it (not at all when it has
    // passed). The wait holds the calling thread and its event loop.
    std::optional<double> arrival(const QString& topic, const QByteArray& payload, double since,
                                  double deadline) const;
    // Every message on the topic at or after `since`, in order.
    std::vector<MqttMessage> messages(const QString& topic, double since) const;

  private:
    mosquitto* m_mosq = nullptr;
    bool m_connected = false;
    mutable std::mutex m_mutex;
    // By topic: a hundred services bring thousands of messages, and each
    // wait looks at one topic.
    std::map<QString, std::vector<MqttMessage>> m_seen;
    std::atomic<bool> m_subscribed = false;
};

} // namespace kavo::bench
