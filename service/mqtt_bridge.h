#pragma once

// The service on an MQTT broker: the projector's state as retained topics
// under BASE/NAME/, commands taken from topics under it, and Home
// Assistant's discovery, so that home and building automation finds the
// projector by itself. Its commands go through the line queue as one more
// client ("mqtt"), one at a time; a payload that means nothing sends nothing
// and is a journal line.
//
// Topics: availability ("online" while connected and the line is open, else
// "offline", also the will), state (the state object as JSON), power,
// power_state, input, lamp_hours, temperature_1..3, lamp_mode, lamp_status,
// setting, event (alerts, not retained), info (what it announces to the
// building: name, description, groups, url, open alerts); power/set, action
// (any action's name: "mute all on", "input 2"), input/set, lamp_mode/set,
// button/set and command (answered on reply).
//
// A command may come as an MQTT 5 request: its user property "requester"
// names who asks, and its commands go through a queue client of that name
// ("mqtt:alice@hall-a") so that the journal says who; with a response topic
// under ROOT/_replies/ it is answered there, with its correlation, at once
// (accepted or refused) and once done (reached or not reached).

#include "building.h"
#include "group_actions.h"
#include "group_request.h"
#include "journal.h"
#include "line_queue.h"
#include "managed_power.h"
#include "mqtt_link.h"
#include "timer.h"

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <QJsonObject>
#include <QString>

namespace kavo::service {

// How long a power command waits for the projector to finish warming up or
// cooling down before it is given up.
inline constexpr std::chrono::minutes kManagedPowerWait{5};
// Home Assistant asks for discovery again with "online" on its status topic;
// it is published at most this often, whatever arrives.
inline constexpr std::chrono::seconds kDiscoveryInterval{10};
// The state is published again when only its reading times changed at most
// this often: the building's "last seen" stays within it.
inline constexpr std::chrono::minutes kStateRefresh{10};
// Requesters with a queue client of their own at once; past this, the one
// used least recently with nothing waiting makes room.
inline constexpr std::size_t kMostRequesters = 32;

struct MqttBridgeSettings {
    QString base;            // "kavo/hall-a"
    QString discoveryPrefix; // "homeassistant"; empty: no discovery
    QString name;
    QString model;
    QString root; // the base every service shares: "kavo"
    QString description;
    QStringList groups;
    QString url; // its web page; empty: none
    std::optional<int> lampAlertHours;
    QString brokerUser; // empty: none
};

class MqttBridge {
  public:
    MqttBridge(MqttLink& link, LineQueue& queue, TimerFactory& timers, Journal& journal,
               MqttBridgeSettings settings);
    ~MqttBridge();

    void start();
    // Says "offline" and leaves the broker.
    void stop();
    void lineChanged(bool open);
    // An alert's event on BASE/NAME/event, not retained: it happened once.
    void publishAlert(const QJsonObject& event);
    // The open alerts, announced on BASE/NAME/info whenever they change.
    void setOpenAlerts(const QJsonArray& open);
    // Every service announced under the root, this one's included.
    Building& building() { return m_building; }
    // What this service's page asks of the building's projectors.
    GroupActions& groupActions() { return m_groupActions; }

  private:
    enum class Purpose { Plain, Reply };
    struct Pending {
        QString command;
        Purpose purpose = Purpose::Plain;
        ManagedPower::Ended ended; // told how it ended, when given
        QString requester;         // whose client sends it; empty: the bridge's own
    };
    // Who asks for a command, and where its answers go (no topic: nowhere).
    struct Asked {
        QString requester;
        QString answerTopic;
        QByteArray correlation;
    };
    struct Requester {
        ClientId id = 0;
        int busy = 0; // its commands not yet ended
        quint64 lastUse = 0;
    };

    void connected();
    void message(const QString& topic, const QByteArray& payload, bool retained,
                 const MqttRequest& request);
    void discoveryAsked();
    void lampModeRead();
    void publishState(bool all);
    void publishAvailability();
    void publishInfo();
    void publishDiscovery();
    void command(const QString& where, const QByteArray& payload, const Asked& asked);
    bool accept(const QString& where, const QByteArray& payload, const Asked& asked,
                const QString& what);
    std::optional<ClientId> clientFor(const QString& requester);
    QString whoFor(const QString& requester) const;
    void send(Pending pending);
    void run(const QStringList& commands, const Action* action, Purpose purpose,
             const Asked& asked);
    void publishReply(const QString& command, const Exchange* exchange);
    void power(bool on, const Asked& asked);
    void ignore(const QString& topic, const QByteArray& payload, const QString& why);
    void refuse(const QString& topic, const QByteArray& payload, const QString& why,
                const Asked& asked);
    void answer(const Asked& asked, GroupOutcome outcome, const QString& detail);
    QString topic(const char* leaf) const;

    MqttLink& m_link;
    TimerFactory& m_timers;
    LineQueue& m_queue;
    Journal& m_journal;
    MqttBridgeSettings m_settings;
    std::unique_ptr<Timer> m_discoveryLater;
    std::optional<std::chrono::milliseconds> m_lastDiscovery; // on the timers' clock
    // The lamp mode as last chosen here (eco1), shown while the read (eco)
    // agrees with it; what was asked for waits for the read that confirms it.
    QString m_lampModeChoice;
    QString m_lampModeAsked;
    std::map<QString, QByteArray> m_published; // topic -> retained payload
    QJsonArray m_openAlerts;
    QJsonObject m_stateReadings; // the state last published, without its reading times
    std::optional<std::chrono::milliseconds> m_stateAt;
    Building m_building;
    GroupActions m_groupActions;
    ClientId m_client = 0;
    std::map<QString, Requester> m_requesters;
    quint64 m_uses = 0;
    ManagedPower m_power;
    Asked m_powerAsked; // the power request running, answered if a newer one replaces it
    bool m_powerOn = false;
    bool m_lineOpen = false;
};

} // namespace kavo::service
