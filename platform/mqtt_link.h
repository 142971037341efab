#pragma once

// A connection to an MQTT broker as the service uses it: it connects, keeps
// connecting again after every loss with a growing pause, and tells what
// happens; the owner publishes, subscribes and reacts. The broker's last will
// is set before every connection, so that it speaks for a service that died.

#include <chrono>
#include <functional>
#include <memory>
#include <QByteArray>
#include <QString>

namespace kavo {

class TimerFactory;

struct MqttSettings {
    QString host;
    quint16 port = 1883;
    bool tls = false;
    QString caFile; // with tls: the authorities to trust; empty: the system's
    QString user;   // empty: no login
    QByteArray password;
    QString clientId;
    QString willTopic; // empty: no will
    QByteArray willPayload;
    std::chrono::seconds keepAlive{30};
};

// MQTT 5's request and response, on a message: where the answer goes, what
// it carries back to tell it from others, and who asked (the user property
// "requester", as the requester names itself: "alice@hall-a"). All empty on
// a message without them, and on any message under MQTT 3.1.1.
struct MqttRequest {
    QString responseTopic;
    QByteArray correlation;
    QString requester;
    bool isEmpty() const { return responseTopic.isEmpty(); }
};

class MqttLink {
  public:
    struct Events {
        std::function<void()> connected; // every time the broker accepts the connection
        std::function<void(const QString& what)>
            event; // a loss, a refusal, a retry: for the journal
        // `retained`: kept by the broker from before, not sent just now.
        std::function<void(const QString& topic, const QByteArray& payload, bool retained,
                           const MqttRequest& request)>
            message;
        // The broker would not take a request published (MQTT 5's
        // acknowledgement with a failure reason: "not authorized" under its
        // ACL): the request's topic and correlation, and the reason in words.
        std::function<void(const QString& topic, const QByteArray& correlation, const QString& why)>
            refused;
    };

    virtual ~MqttLink() = default;

    // Connects now, and again after every loss until stop().
    virtual void start(Events events) = 0;
    virtual bool isConnected() const = 0;
    // QoS 1. Nothing happens while not connected: the owner publishes again
    // when connected is told.
    virtual void publish(const QString& topic, const QByteArray& payload, bool retain) = 0;
    // Published with MQTT 5's properties: a request (response topic,
    // correlation and requester) or an answer (the correlation alone).
    virtual void publish(const QString& topic, const QByteArray& payload,
                         const MqttRequest& request) = 0;
    virtual void subscribe(const QString& topic) = 0;
    // Sends what is waiting (at most a moment's wait) and says goodbye, so
    // that the broker does not send the will. Never from within one of the
    // events' calls, nor the link destroyed there: libmosquitto is inside its
    // own read then, and would wait for itself. Leave the call first (a
    // zero-length timer).
    virtual void stop() = 0;
};

// Makes the link to a broker: the program's choice, a fake in tests.
using MqttLinkFactory = std::function<std::unique_ptr<MqttLink>(MqttSettings)>;

// The connection through libmosquitto, driven by the Qt event loop through
// its socket: no thread of its own, no polling loop.
std::unique_ptr<MqttLink> createMosquittoLink(MqttSettings settings, TimerFactory& timers);

} // namespace kavo
