#include "bench_broker.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <iterator>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <thread>

using namespace std::chrono_literals;

namespace kavo::bench {
namespace {

constexpr double kListenWaitMs = 5000;
constexpr int kConnectAttempts = 100;
constexpr auto kConnectPause = 50ms;
constexpr double kSubscribeWaitMs = 5000;
constexpr int kKeepAliveS = 60;

bool accepts(quint16 port) {
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    return probe.waitForConnected(100);
}

} // namespace

bool Broker::available() {
    return !findProgram(QStringLiteral("mosquitto")).isEmpty();
}

QString Broker::url() const {
    return QStringLiteral("mqtt://127.0.0.1:%1").arg(m_port);
}

bool Broker::start(QString* error) {
    const QString log = m_workspace.log(QStringLiteral("mosquitto"));
    if (m_port == 0) {
        QTcpServer free;
        free.listen(QHostAddress::LocalHost, 0);
        m_port = free.serverPort();
        free.close();
        QFile conf(m_workspace.filePath(QStringLiteral("mosquitto.conf")));
        if (!conf.open(QIODevice::WriteOnly) ||
            conf.write("listener " + QByteArray::number(m_port) +
                       " 127.0.0.1\nallow_anonymous true\npersistence false\n"
                       "set_tcp_nodelay true\n") < 0) {
            *error = QStringLiteral("cannot write the broker's configuration");
            return false;
        }
    }
    const auto started = spawn(findProgram(QStringLiteral("mosquitto")),
                               {"-c", m_workspace.filePath(QStringLiteral("mosquitto.conf"))},
                               m_workspace.environment(), log);
    if (started) {
        m_process = *started;
        const double deadline = nowMs() + kListenWaitMs;
        while (alive(m_process) && nowMs() < deadline) {
            if (accepts(m_port))
                return true;
            std::this_thread::sleep_for(10ms);
        }
    }
    *error = QStringLiteral("cannot start the broker on port %1 (log %2)").arg(m_port).arg(log);
    return false;
}

void Broker::kill() {
    if (m_process.pid > 0)
        ::kill(m_process.pid, SIGKILL);
    waitExit(m_process);
}

MqttWatcher::MqttWatcher(quint16 port) {
    mosquitto_lib_init();
    m_mosq = mosquitto_new(nullptr, true, this);
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_callback_set(m_mosq, [](mosquitto* mosq, void*, int rc) {
        if (rc == 0)
            mosquitto_subscribe(mosq, nullptr, "#", 0);
    });
    mosquitto_subscribe_callback_set(m_mosq, [](mosquitto*, void* self, int, int, const int*) {
        static_cast<MqttWatcher*>(self)->m_subscribed = true;
    });
    mosquitto_message_callback_set(
        m_mosq, [](mosquitto*, void* self, const mosquitto_message* message) {
            auto* watcher = static_cast<MqttWatcher*>(self);
            const QString topic = QString::fromUtf8(message->topic);
            const std::lock_guard lock(watcher->m_mutex);
            watcher->m_seen[topic].push_back(
                {topic, QByteArray(static_cast<const char*>(message->payload), message->payloadlen),
                 nowMs()});
        });
    for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
        if (mosquitto_connect(m_mosq, "127.0.0.1", port, kKeepAliveS) == MOSQ_ERR_SUCCESS)
            break;
        std::this_thread::sleep_for(kConnectPause);
    }
    mosquitto_loop_start(m_mosq);
    const double deadline = nowMs() + kSubscribeWaitMs;
    while (!m_subscribed && nowMs() < deadline)
        std::this_thread::sleep_for(5ms);
    m_connected = m_subscribed;
}

MqttWatcher::~MqttWatcher() {
    mosquitto_disconnect(m_mosq);
    mosquitto_loop_stop(m_mosq, true);
    mosquitto_destroy(m_mosq);
}

void MqttWatcher::publish(const QString& topic, const QByteArray& payload) {
    mosquitto_publish(m_mosq, nullptr, topic.toUtf8().constData(), int(payload.size()),
                      payload.constData(), 1, false);
}

void MqttWatcher::request(const QString& topic, const QByteArray& payload,
                          const QString& responseTopic, const QByteArray& correlation,
                          const QString& requester) {
    mosquitto_property* properties = nullptr;
    mosquitto_property_add_string(&properties, MQTT_PROP_RESPONSE_TOPIC,
                                  responseTopic.toUtf8().constData());
    mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA, correlation.constData(),
                                  uint16_t(correlation.size()));
    mosquitto_property_add_string_pair(&properties, MQTT_PROP_USER_PROPERTY, "requester",
                                       requester.toUtf8().constData());
    mosquitto_publish_v5(m_mosq, nullptr, topic.toUtf8().constData(), int(payload.size()),
                         payload.constData(), 1, false, properties);
    mosquitto_property_free_all(&properties);
}

std::optional<double> MqttWatcher::arrival(const QString& topic, const QByteArray& payload,
                                           double since, double deadline) const {
    for (;;) {
        {
            const std::lock_guard lock(m_mutex);
            if (const auto found = m_seen.find(topic); found != m_seen.end()) {
                for (const MqttMessage& seen : found->second) {
                    if (seen.at >= since && (payload.isEmpty() || seen.payload == payload))
                        return seen.at;
                }
            }
        }
        if (nowMs() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(5ms);
    }
}

std::vector<MqttMessage> MqttWatcher::messages(const QString& topic, double since) const {
    const std::lock_guard lock(m_mutex);
    std::vector<MqttMessage> found;
    if (const auto all = m_seen.find(topic); all != m_seen.end())
        std::ranges::copy_if(all->second, std::back_inserter(found),
                             [&](const MqttMessage& seen) { return seen.at >= since; });
    return found;
}

} // namespace kavo::bench
