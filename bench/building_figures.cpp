#include "building_figures.h"

#include "bench_broker.h"
#include "service_rig.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

using namespace std::chrono_literals;

namespace kavo::bench {
namespace {

constexpr int kInstances = 20;
constexpr double kDiscoveryTargetMs = 10000;
constexpr auto kIdleSettle = 2s;

} // namespace

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
    Broker broker(m_workspace);
    if (!broker.start(error))
        return false;
    ProjectorLines lines(kInstances);
    const ServiceLauncher launcher(m_workspace, m_programs.service);
    Instances services;
    MqttWatcher watcher(broker.port());
    if (!watcher.connected() || !lines.isValid()) {
        *error = QStringLiteral("cannot watch the broker or open the lines for MQTT (log %1)")
                     .arg(m_workspace.log(QStringLiteral("mosquitto")));
        return false;
    }
    const auto name = [](int i) { return QStringLiteral("room-%1").arg(i + 1); };
    const auto topic = [&](int i, const char* leaf) {
        return QStringLiteral("kavo/%1/%2").arg(name(i), QLatin1String(leaf));
    };
    const QString url = broker.url();
    const double start = nowMs();
    if (!launcher.startAll(
            kInstances, lines, name,
            [&](int) {
                return QStringList{QStringLiteral("--mqtt"), url};
            },
            services, error))
        return false;
    for (int i = 0; i < kInstances; ++i) {
        const auto found = watcher.arrival(
            QStringLiteral("homeassistant/switch/kavo_%1/power/config").arg(name(i)), {}, start,
            start + 30000);
        m_discoveredMs.push_back(found ? *found - start : NAN);
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
    for (const Child& service : services.all())
        before.push_back(cpuMs(service.pid));
    std::this_thread::sleep_for(m_counts.serviceIdle);
    const double perMinute = 60.0 / double(m_counts.serviceIdle.count());
    for (int i = 0; i < services.size(); ++i) {
        if (!alive(services[i])) {
            services[i].pid = -1; // reaped already
            *error = QStringLiteral("%1 ended by itself").arg(name(i));
            return false;
        }
        m_idleMs.push_back((cpuMs(services[i].pid) - before[std::size_t(i)]) * perMinute);
        m_pssMb.push_back(rollupMb(services[i].pid, "Pss"));
    }
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
