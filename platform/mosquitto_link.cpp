#include "mqtt_link.h"
#include "port_paths.h"
#include "timer.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <poll.h>
#endif
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QHostInfo>
#include <QObject>
#include <QPointer>
#include <QSocketNotifier>

namespace kavo {
namespace {

constexpr std::chrono::seconds kFirstPause{1};
constexpr std::chrono::seconds kLongestPause{30};
// libmosquitto's keep-alive and timeouts are checked this often.
constexpr std::chrono::seconds kHousekeeping{5};
constexpr int kGoodbyeMs = 500;
// Requests published and not yet acknowledged, kept to tell which one a
// refusal is for.
constexpr std::size_t kMostUnacknowledged = 4096;
// A broker that has not accepted the connection by then is taken as not there.
constexpr std::chrono::seconds kConnectWait{10};

// Whether the socket takes more to write within `ms`.
bool writable(int fd, int ms) {
#ifdef Q_OS_WIN
    WSAPOLLFD waiting{SOCKET(fd), POLLOUT, 0};
    return ::WSAPoll(&waiting, 1, ms) > 0;
#else
    pollfd waiting{fd, POLLOUT, 0};
    return ::poll(&waiting, 1, ms) > 0;
#endif
}

// The library's reason as part of a sentence: "connection refused".
QString mosquittoError(int rc) {
    QString reason = rc == MOSQ_ERR_ERRNO ? QString::fromLocal8Bit(std::strerror(errno))
                                          : QString::fromUtf8(mosquitto_strerror(rc));
    if (reason.endsWith(QLatin1Char('.')))
        reason.chop(1);
    if (!reason.isEmpty())
        reason[0] = reason[0].toLower();
    return reason;
}

constexpr const char* kRequesterProperty = "requester";

// The request a message carries in its MQTT 5 properties, if any.
MqttRequest requestOf(const mosquitto_property* properties) {
    MqttRequest request;
    char* text = nullptr;
    if (mosquitto_property_read_string(properties, MQTT_PROP_RESPONSE_TOPIC, &text, false)) {
        request.responseTopic = QString::fromUtf8(text);
        std::free(text);
    }
    void* data = nullptr;
    std::uint16_t length = 0;
    if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &data, &length,
                                       false)) {
        request.correlation = QByteArray(static_cast<const char*>(data), length);
        std::free(data);
    }
    // User properties may repeat: the first "requester" counts.
    bool skipFirst = false;
    for (const mosquitto_property* at = properties; at; skipFirst = true) {
        char* name = nullptr;
        char* value = nullptr;
        at = mosquitto_property_read_string_pair(at, MQTT_PROP_USER_PROPERTY, &name, &value,
                                                 skipFirst);
        const bool found = at && std::strcmp(name, kRequesterProperty) == 0;
        if (found)
            request.requester = QString::fromUtf8(value);
        std::free(name);
        std::free(value);
        if (found)
            break;
    }
    return request;
}

class MosquittoLink final : public MqttLink {
  public:
    MosquittoLink(MqttSettings settings, TimerFactory& timers)
        : m_settings(std::move(settings)), m_retry(timers.createTimer()),
          m_housekeeping(timers.createTimer()) {
        static const int initialised = mosquitto_lib_init();
        Q_UNUSED(initialised);
        m_mosq = mosquitto_new(m_settings.clientId.toUtf8().constData(), true, this);
        m_retry->setTickHandler([this] {
            m_retry->setEnabled(false);
            lookUp();
        });
        m_housekeeping->setInterval(kHousekeeping);
        m_housekeeping->setTickHandler([this] {
            if (!m_notifier)
                return;
            if (!m_connected &&
                m_connecting.hasExpired(std::chrono::milliseconds(kConnectWait).count())) {
                lost(QStringLiteral("the MQTT broker at %1 did not answer within %2 s")
                         .arg(where())
                         .arg(kConnectWait.count()));
                return;
            }
            afterCall(mosquitto_loop_misc(m_mosq));
        });
    }

    ~MosquittoLink() override {
        delete m_notifier;
        delete m_writable;
        if (m_mosq)
            mosquitto_destroy(m_mosq);
    }

    void start(Events events) override {
        m_events = std::move(events);
        m_stopped = false;
        if (!m_mosq) {
            say(QStringLiteral("cannot use MQTT: %1").arg(mosquittoError(MOSQ_ERR_ERRNO)));
            return;
        }
        // MQTT 5, for its request and response: who asked, and where the
        // answer goes.
        mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
        // A state change is several small messages: each goes at once, not
        // held back until the broker acknowledges the one before.
        mosquitto_int_option(m_mosq, MOSQ_OPT_TCP_NODELAY, 1);
        if (!m_settings.user.isEmpty())
            mosquitto_username_pw_set(
                m_mosq, m_settings.user.toUtf8().constData(),
                m_settings.password.isEmpty() ? nullptr : m_settings.password.constData());
        if (!m_settings.willTopic.isEmpty())
            mosquitto_will_set(m_mosq, m_settings.willTopic.toUtf8().constData(),
                               int(m_settings.willPayload.size()),
                               m_settings.willPayload.constData(), 1, true);
        if (m_settings.tls) {
            const QByteArray ca = QFile::encodeName(m_settings.caFile);
            const int rc = mosquitto_tls_set(m_mosq, ca.isEmpty() ? nullptr : ca.constData(),
                                             ca.isEmpty() ? "/etc/ssl/certs" : nullptr, nullptr,
                                             nullptr, nullptr);
            if (rc != MOSQ_ERR_SUCCESS) {
                say(QStringLiteral("cannot use TLS for MQTT: %1").arg(mosquittoError(rc)));
                return;
            }
        }
        mosquitto_connect_callback_set(m_mosq, [](mosquitto*, void* self, int rc) {
            static_cast<MosquittoLink*>(self)->connack(rc);
        });
        mosquitto_disconnect_callback_set(m_mosq, [](mosquitto*, void* self, int rc) {
            auto* link = static_cast<MosquittoLink*>(self);
            link->lost(QStringLiteral("the connection to the MQTT broker at %1 was lost (%2)")
                           .arg(link->where(), mosquittoError(rc)));
        });
        mosquitto_message_v5_callback_set(m_mosq, [](mosquitto*, void* self,
                                                     const mosquitto_message* message,
                                                     const mosquitto_property* properties) {
            auto* link = static_cast<MosquittoLink*>(self);
            if (link->m_events.message && message->topic)
                link->m_events.message(
                    QString::fromUtf8(message->topic),
                    QByteArray(static_cast<const char*>(message->payload), message->payloadlen),
                    message->retain, requestOf(properties));
        });
        mosquitto_publish_v5_callback_set(
            m_mosq, [](mosquitto*, void* self, int id, int reason, const mosquitto_property*) {
                static_cast<MosquittoLink*>(self)->acknowledged(id, reason);
            });
        lookUp();
    }

    bool isConnected() const override { return m_connected; }

    void publish(const QString& topic, const QByteArray& payload, bool retain) override {
        if (!m_connected)
            return;
        afterCall(mosquitto_publish(m_mosq, nullptr, topic.toUtf8().constData(),
                                    int(payload.size()), payload.constData(), 1, retain));
    }

    void publish(const QString& topic, const QByteArray& payload,
                 const MqttRequest& request) override {
        if (!m_connected)
            return;
        mosquitto_property* properties = nullptr;
        if (!request.responseTopic.isEmpty())
            mosquitto_property_add_string(&properties, MQTT_PROP_RESPONSE_TOPIC,
                                          request.responseTopic.toUtf8().constData());
        if (!request.correlation.isEmpty())
            mosquitto_property_add_binary(
                &properties, MQTT_PROP_CORRELATION_DATA, request.correlation.constData(),
                std::uint16_t(std::min<qsizetype>(request.correlation.size(), UINT16_MAX)));
        if (!request.requester.isEmpty())
            mosquitto_property_add_string_pair(&properties, MQTT_PROP_USER_PROPERTY,
                                               kRequesterProperty,
                                               request.requester.toUtf8().constData());
        int id = 0;
        const int rc =
            mosquitto_publish_v5(m_mosq, &id, topic.toUtf8().constData(), int(payload.size()),
                                 payload.constData(), 1, false, properties);
        mosquitto_property_free_all(&properties);
        if (rc == MOSQ_ERR_SUCCESS && !request.responseTopic.isEmpty()) {
            // Kept until the broker acknowledges it; a broker that never does
            // cannot make the list grow past a bound.
            if (m_unacknowledged.size() >= kMostUnacknowledged)
                m_unacknowledged.erase(m_unacknowledged.begin());
            m_unacknowledged[id] = {topic, request.correlation};
        }
        afterCall(rc);
    }

    void subscribe(const QString& topic) override {
        if (!m_connected)
            return;
        afterCall(mosquitto_subscribe(m_mosq, nullptr, topic.toUtf8().constData(), 1));
    }

    void stop() override {
        m_stopped = true;
        m_retry->setEnabled(false);
        m_housekeeping->setEnabled(false);
        if (m_connected) {
            mosquitto_disconnect(m_mosq);
            // What is still waiting goes now, with a short bound on the wait.
            QDeadlineTimer deadline(kGoodbyeMs);
            const int fd = mosquitto_socket(m_mosq);
            while (fd >= 0 && mosquitto_want_write(m_mosq) && !deadline.hasExpired()) {
                if (!writable(fd, int(deadline.remainingTime())) ||
                    mosquitto_loop_write(m_mosq, 1) != MOSQ_ERR_SUCCESS)
                    break;
            }
        }
        m_connected = false;
        dropNotifiers();
    }

  private:
    void say(const QString& what) {
        if (m_events.event)
            m_events.event(what);
    }

    // Names are looked up without blocking the event loop; a plain
    // connection then goes to the address found, TLS to the name (which its
    // certificate must carry).
    void lookUp() {
        if (m_stopped)
            return;
        QHostAddress literal;
        if (literal.setAddress(m_settings.host)) {
            connectTo(literal.toString());
            return;
        }
        QHostInfo::lookupHost(m_settings.host, &m_context, [this](const QHostInfo& info) {
            if (m_stopped)
                return;
            if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
                retryLater(QStringLiteral("cannot find the MQTT broker %1: %2")
                               .arg(escapeControls(m_settings.host), info.errorString()));
                return;
            }
            connectTo(m_settings.tls ? m_settings.host : info.addresses().constFirst().toString());
        });
    }

    void connectTo(const QString& address) {
        const int rc = mosquitto_connect_async(m_mosq, address.toUtf8().constData(),
                                               m_settings.port, int(m_settings.keepAlive.count()));
        if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(m_mosq) < 0) {
            retryLater(QStringLiteral("cannot connect to the MQTT broker at %1: %2")
                           .arg(where(), mosquittoError(rc)));
            return;
        }
        dropNotifiers();
        const int fd = mosquitto_socket(m_mosq);
        m_notifier = new QSocketNotifier(qintptr(fd), QSocketNotifier::Read);
        m_writable = new QSocketNotifier(qintptr(fd), QSocketNotifier::Write);
        QObject::connect(m_notifier, &QSocketNotifier::activated, &m_context,
                         [this] { afterCall(mosquitto_loop_read(m_mosq, 1)); });
        QObject::connect(m_writable, &QSocketNotifier::activated, &m_context,
                         [this] { afterCall(mosquitto_loop_write(m_mosq, 1)); });
        m_connecting.start();
        m_housekeeping->setEnabled(true);
        updateWritable();
    }

    // After every call into the library: a failure is a lost connection, and
    // the socket is watched for writing only while something waits to go.
    void afterCall(int rc) {
        if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_CONN_PENDING) {
            lost(m_connected
                     ? QStringLiteral("the connection to the MQTT broker at %1 was lost (%2)")
                           .arg(where(), mosquittoError(rc))
                     : QStringLiteral("cannot connect to the MQTT broker at %1: %2")
                           .arg(where(), mosquittoError(rc)));
            return;
        }
        updateWritable();
    }

    void updateWritable() {
        if (m_writable)
            m_writable->setEnabled(mosquitto_want_write(m_mosq));
    }

    void connack(int rc) {
        if (rc != 0) {
            lost(QStringLiteral("the MQTT broker at %1 refused the connection: %2")
                     .arg(where(), QString::fromUtf8(mosquitto_connack_string(rc))));
            return;
        }
        m_connected = true;
        m_pause = kFirstPause;
        say(QStringLiteral("connected to the MQTT broker at %1").arg(where()));
        if (m_events.connected)
            m_events.connected();
        updateWritable();
    }

    void acknowledged(int id, int reason) {
        const auto found = m_unacknowledged.find(id);
        if (found == m_unacknowledged.end())
            return;
        const auto [topic, correlation] = found->second;
        m_unacknowledged.erase(found);
        // 0x80 and above are failures (MQTT 5, 3.4.2.1).
        if (reason >= 0x80 && m_events.refused) {
            QString why = QString::fromUtf8(mosquitto_reason_string(reason));
            if (!why.isEmpty())
                why[0] = why[0].toLower();
            m_events.refused(topic, correlation, why);
        }
    }

    void lost(const QString& why) {
        if (m_stopped || !m_notifier)
            return; // told already, or stopping on purpose
        m_connected = false;
        m_unacknowledged.clear(); // the session is clean: nothing comes for them
        dropNotifiers();
        retryLater(why);
    }

    void retryLater(const QString& why) {
        if (m_stopped)
            return;
        say(QStringLiteral("%1; trying again in %2 s").arg(why).arg(m_pause.count()));
        m_housekeeping->setEnabled(false);
        m_retry->setInterval(m_pause);
        m_retry->setEnabled(true);
        m_pause = std::min(m_pause * 2, kLongestPause);
    }

    // The notifiers may be the ones calling: they go once the call is over.
    void dropNotifiers() {
        for (QPointer<QSocketNotifier>* notifier : {&m_notifier, &m_writable}) {
            if (*notifier) {
                (*notifier)->setEnabled(false);
                (*notifier)->deleteLater();
            }
            *notifier = nullptr;
        }
    }

    QString where() const {
        return QStringLiteral("%1:%2").arg(escapeControls(m_settings.host)).arg(m_settings.port);
    }

    MqttSettings m_settings;
    mosquitto* m_mosq = nullptr;
    Events m_events;
    std::unique_ptr<Timer> m_retry;
    std::unique_ptr<Timer> m_housekeeping;
    QObject m_context; // ends the lookups' and notifiers' calls with the link
    QPointer<QSocketNotifier> m_notifier;
    QPointer<QSocketNotifier> m_writable;
    QElapsedTimer m_connecting;
    std::chrono::seconds m_pause = kFirstPause;
    std::map<int, std::pair<QString, QByteArray>> m_unacknowledged; // id -> topic, correlation
    bool m_connected = false;
    bool m_stopped = true;
};

} // namespace

std::unique_ptr<MqttLink> createMosquittoLink(MqttSettings settings, TimerFactory& timers) {
    return std::make_unique<MosquittoLink>(std::move(settings), timers);
}

} // namespace kavo
