#include "building_figures.h"

#include "service_rig.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mosquitto.h>
#include <mutex>
#include <QFile>
#include <QTcpServer>
#include <thread>

using namespace std::chrono_literals;

namespace kavo::bench {
namespace {

constexpr int kInstances = 20;
constexpr double kDiscoveryTargetMs = 10000;
constexpr auto kIdleSettle = 2s;

// Every message on the broker with the time it arrived, on libmosquitto's
// own thread.
class MqttWatcher {
  public:
    explicit MqttWatcher(quint16 port) {
        mosquitto_lib_init();
        m_mosq = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(
            m_mosq, [](mosquitto*, void* self, const mosquitto_message* message) {
                auto* watcher = static_cast<MqttWatcher*>(self);
                const std::lock_guard lock(watcher->m_mutex);
                watcher->m_seen.push_back(
                    {QString::fromUtf8(message->topic),
                     QByteArray(static_cast<const char*>(message->payload), message->payloadlen),
                     nowMs()});
            });
        for (int attempt = 0; attempt < 100; ++attempt) {
            if (mosquitto_connect(m_mosq, "127.0.0.1", port, 60) == MOSQ_ERR_SUCCESS) {
                m_connected = true;
                break;
            }
            std::this_thread::sleep_for(50ms);
        }
        mosquitto_subscribe(m_mosq, nullptr, "#", 0);
        mosquitto_loop_start(m_mosq);
    }
    ~MqttWatcher() {
        mosquitto_disconnect(m_mosq);
        mosquitto_loop_stop(m_mosq, true);
        mosquitto_destroy(m_mosq);
    }
    MqttWatcher(const MqttWatcher&) = delete;
    MqttWatcher& operator=(const MqttWatcher&) = delete;

    bool connected() const { return m_connected; }
    void publish(const QString& topic, const QByteArray& payload) {
        mosquitto_publish(m_mosq, nullptr, topic.toUtf8().constData(), int(payload.size()),
                          payload.constData(), 1, false);
    }
    // When the topic first carried the payload (any, when empty) at or
    // after `since`, waiting until `deadline` for it.
    std::optional<double> arrival(const QString& topic, const QByteArray& payload, double since,
                                  double deadline) const {
        do {
            {
                const std::lock_guard lock(m_mutex);
                for (const Seen& seen : m_seen) {
                    if (seen.at >= since && seen.topic == topic &&
                        (payload.isEmpty() || seen.payload == payload))
                        return seen.at;
                }
            }
            std::this_thread::sleep_for(5ms);
        } while (nowMs() < deadline);
        return std::nullopt;
    }

  private:
    struct Seen {
        QString topic;
        QByteArray payload;
        double at;
    };
    mosquitto* m_mosq = nullptr;
    bool m_connected = false;
    mutable std::mutex m_mutex;
    std::vector<Seen> m_seen;
};

} // namespace

bool BuildingFigures::available() {
    return !findProgram(QStringLiteral("mosquitto")).isEmpty();
}

QString BuildingFigures::describe() const {
    return QStringLiteral("MQTT: %1 instances on one mosquitto broker, idle for %2 s")
        .arg(kInstances)
        .arg(m_counts.serviceIdle.count());
}

// Twenty instances on lines of their own and one broker: the time from
// their start until each one's discovery reached a subscriber, a power
// command to each (answered when its power state shows it warming up), the
// time from the status reply that changed the state to the state on the
// broker, and then, idle, the CPU time and memory of each.
bool BuildingFigures::measure(QString* error) {
    std::printf("kavo-projectord: %d instances on one MQTT broker, idle for %lld s...\n",
                kInstances, qlonglong(m_counts.serviceIdle.count()));
    std::fflush(stdout);
    QTcpServer free;
    free.listen(QHostAddress::LocalHost, 0);
    const quint16 port = free.serverPort();
    free.close();
    QFile conf(m_workspace.filePath(QStringLiteral("mosquitto.conf")));
    if (!conf.open(QIODevice::WriteOnly) ||
        conf.write("listener " + QByteArray::number(port) +
                   " 127.0.0.1\nallow_anonymous true\npersistence false\nset_tcp_nodelay true\n") <
            0) {
        *error = QStringLiteral("cannot write the broker's configuration");
        return false;
    }
    conf.close();
    auto broker = spawn(findProgram(QStringLiteral("mosquitto")), {"-c", conf.fileName()},
                        m_workspace.environment(), m_workspace.log(QStringLiteral("mosquitto")));
    ProjectorLines lines(kInstances);
    const ServiceLauncher launcher(m_workspace, m_programs.service);
    std::vector<Child> services;
    const auto stopAll = [&] {
        for (Child& service : services)
            stop(service);
        if (broker)
            stop(*broker);
    };
    MqttWatcher watcher(port);
    if (!broker || !watcher.connected() || !lines.isValid()) {
        stopAll();
        *error = QStringLiteral("cannot start the broker or the lines for MQTT (log %1)")
                     .arg(m_workspace.log(QStringLiteral("mosquitto")));
        return false;
    }
    const auto name = [](int i) { return QStringLiteral("room-%1").arg(i + 1); };
    const auto topic = [&](int i, const char* leaf) {
        return QStringLiteral("kavo/%1/%2").arg(name(i), QLatin1String(leaf));
    };
    const QString url = QStringLiteral("mqtt://127.0.0.1:%1").arg(port);
    const double start = nowMs();
    for (int i = 0; i < kInstances; ++i) {
        auto service =
            launcher.start(name(i), lines.device(i), {QStringLiteral("--mqtt"), url}, error);
        if (!service) {
            stopAll();
            return false;
        }
        services.push_back(*service);
    }
    for (int i = 0; i < kInstances; ++i) {
        const auto found = watcher.arrival(
            QStringLiteral("homeassistant/switch/kavo_%1/power/config").arg(name(i)), {}, start,
            start + 30000);
        m_discoveredMs.push_back(found ? *found - start : NAN);
        if (!launcher.warmedUp(services[std::size_t(i)], name(i), error)) {
            stopAll();
            return false;
        }
    }
    const double sent = nowMs();
    for (int i = 0; i < kInstances; ++i)
        watcher.publish(topic(i, "power/set"), "ON");
    int answered = 0;
    for (int i = 0; i < kInstances; ++i) {
        const auto shown =
            watcher.arrival(topic(i, "power_state"), "warming_up", sent, sent + 15000);
        if (!shown)
            continue;
        ++answered;
        if (const auto reply = lines.replyBefore(i, kStatusRead, *shown))
            m_latencyMs.push_back(*shown - *reply);
    }
    m_answered.push_back(answered);
    // Warmed up (the simulated projector takes 5 s), then idle.
    for (int i = 0; i < kInstances; ++i)
        watcher.arrival(topic(i, "power_state"), "on", sent, sent + 20000);
    std::this_thread::sleep_for(kIdleSettle);
    std::vector<double> before;
    for (const Child& service : services)
        before.push_back(cpuMs(service.pid));
    std::this_thread::sleep_for(m_counts.serviceIdle);
    const double perMinute = 60.0 / double(m_counts.serviceIdle.count());
    for (std::size_t i = 0; i < services.size(); ++i) {
        if (!alive(services[i])) {
            services[i].pid = -1; // reaped already
            stopAll();
            *error = QStringLiteral("%1 ended by itself").arg(name(int(i)));
            return false;
        }
        m_idleMs.push_back((cpuMs(services[i].pid) - before[i]) * perMinute);
        m_pssMb.push_back(rollupMb(services[i].pid, "Pss"));
    }
    stopAll();
    return true;
}

void BuildingFigures::addRows(Table& table) const {
    const Summary discovered = summarise(m_discoveredMs);
    table.add({QStringLiteral("MQTT: 20 discovered after start"),
               QStringLiteral("ms"),
               discovered,
               QString(),
               {},
               QStringLiteral("worst <= %1").arg(number(kDiscoveryTargetMs, 0)),
               0},
              discovered.worst <= kDiscoveryTargetMs &&
                  std::ranges::none_of(m_discoveredMs, [](double ms) { return std::isnan(ms); }));
    const Summary powered = summarise(m_answered, double(kInstances));
    table.add({QStringLiteral("MQTT: power/set answered"),
               QString(),
               powered,
               QString(),
               {},
               QStringLiteral("20 of 20"),
               0},
              powered.worst == kInstances);
    const Summary latency = summarise(m_latencyMs);
    table.add({QStringLiteral("MQTT: state change to subscriber"),
               QStringLiteral("ms"),
               latency,
               QString(),
               {},
               QStringLiteral("median <= 5"),
               2},
              latency.median <= 5);
    table.add({QStringLiteral("MQTT idle: CPU a minute"),
               QStringLiteral("ms"),
               summarise(m_idleMs),
               QString(),
               {},
               QString(),
               1});
    table.add({QStringLiteral("MQTT: Pss of each of 20"),
               QStringLiteral("MB"),
               summarise(m_pssMb),
               QString(),
               {},
               QString(),
               1});
}

} // namespace kavo::bench
