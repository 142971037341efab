#include "mqtt_bridge.h"

#include "button_map.h"
#include "command_check.h"
#include "exchange_report.h"
#include "line_settings.h"
#include "mqtt_discovery.h"
#include "option_table.h"
#include "port_paths.h"

#include <array>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace kavo::service {
namespace {

constexpr qsizetype kLongestPayload = 512;
const QString kWho = QStringLiteral("mqtt");

// Whether the lamp mode read (high, normal, eco) shows the button's mode
// (normal, eco1, eco2, auto): eco1 and eco2 read as eco; auto chooses by itself.
bool lampModeShows(const QString& read, const QString& choice) {
    QString family = choice;
    while (!family.isEmpty() && family.back().isDigit())
        family.chop(1);
    return choice == QLatin1String("auto") || family == read;
}

QString number(const QJsonValue& value) {
    return QString::number(value.toDouble(), 'g', 10);
}

} // namespace

MqttBridge::MqttBridge(MqttLink& link, LineQueue& queue, TimerFactory& timers, Journal& journal,
                       MqttBridgeSettings settings)
    : m_link(link), m_timers(timers), m_queue(queue), m_journal(journal),
      m_settings(std::move(settings)), m_discoveryLater(timers.createTimer()),
      m_building(journal, m_settings.root, m_settings.name),
      m_power(
          [this](const QString& command, ManagedPower::Ended ended) {
              send({command, Purpose::Plain, std::move(ended)});
          },
          timers) {
    m_discoveryLater->setTickHandler([this] {
        m_discoveryLater->setEnabled(false);
        publishDiscovery();
    });
    m_client = m_queue.addClient(kWho, Policy::Requests);
    m_queue.addObserver([this](const QString&, const Exchange& exchange, auto) {
        if (exchange.kind == ReplyKind::Answered &&
            exchange.command == readCommand(StateField::LampMode))
            lampModeRead();
        publishState(false);
    });
}

MqttBridge::~MqttBridge() {
    m_queue.removeClient(m_client);
}

QString MqttBridge::topic(const char* leaf) const {
    return m_settings.base + QLatin1Char('/') + QLatin1String(leaf);
}

void MqttBridge::start() {
    m_link.start(
        {[this] { connected(); }, [this](const QString& what) { m_journal.write(kWho, what); },
         [this](const QString& topic, const QByteArray& payload, bool retained,
                const MqttRequest& request) { message(topic, payload, retained, request); }});
}

void MqttBridge::stop() {
    if (m_link.isConnected())
        m_link.publish(topic("availability"), "offline", true);
    m_link.stop();
}

void MqttBridge::lineChanged(bool open) {
    m_lineOpen = open;
    publishAvailability();
    // A lost line leaves every reading unknown: the state says so.
    publishState(false);
}

void MqttBridge::publishAlert(const QJsonObject& event) {
    m_link.publish(topic("event"), QJsonDocument(event).toJson(QJsonDocument::Compact), false);
}

void MqttBridge::setOpenAlerts(const QJsonArray& open) {
    m_openAlerts = open;
    publishInfo();
}

void MqttBridge::connected() {
    m_published.clear();
    // The announcement first: the building lists a projector from it on.
    publishInfo();
    for (const QString& filter : m_building.topicFilters())
        m_link.subscribe(filter);
    for (const char* leaf : {"power/set", "input/set", "lamp_mode/set", "button/set", "command"})
        m_link.subscribe(topic(leaf));
    if (!m_settings.discoveryPrefix.isEmpty())
        m_link.subscribe(m_settings.discoveryPrefix + QStringLiteral("/status"));
    publishAvailability();
    publishState(true);
    publishDiscovery();
}

void MqttBridge::publishAvailability() {
    const QByteArray now = m_lineOpen ? "online" : "offline";
    const QString where = topic("availability");
    if (m_published[where] != now) {
        m_published[where] = now;
        m_link.publish(where, now, true);
    }
}

void MqttBridge::publishInfo() {
    const QByteArray now =
        announcementPayload({m_settings.name, m_settings.description, m_settings.groups,
                             m_settings.url, m_openAlerts, m_settings.model});
    const QString where = topic("info");
    if (m_link.isConnected() && m_published[where] != now) {
        m_published[where] = now;
        m_link.publish(where, now, true);
    }
}

void MqttBridge::publishState(bool all) {
    const ProjectorState& state = m_queue.state();
    std::vector<std::pair<QString, QByteArray>> values;
    values.emplace_back(topic("state"),
                        QJsonDocument(state.toJson()).toJson(QJsonDocument::Compact));
    if (const PowerState power = state.power(); power != PowerState::Unknown) {
        const bool on = power == PowerState::On || power == PowerState::WarmingUp;
        values.emplace_back(topic("power"), on ? "ON" : "OFF");
        values.emplace_back(topic("power_state"), powerWord(power).toUtf8());
    }
    const std::array<std::pair<const char*, StateField>, 4> words{{
        {"input", StateField::Input},
        {"lamp_mode", StateField::LampMode},
        {"lamp_status", StateField::LampStatus},
        {"setting", StateField::Setting},
    }};
    for (const auto& [leaf, field] : words) {
        if (const QJsonValue value = state.value(field); value.isString())
            values.emplace_back(topic(leaf), value.toString().toUtf8());
    }
    if (!m_lampModeChoice.isEmpty())
        values.emplace_back(topic("lamp_mode_choice"), m_lampModeChoice.toUtf8());
    if (const QJsonValue hours = state.value(StateField::LampHours); hours.isDouble())
        values.emplace_back(topic("lamp_hours"), number(hours).toUtf8());
    const QJsonArray temperatures = state.value(StateField::Temperatures).toArray();
    for (qsizetype n = 0; n < temperatures.size(); ++n) {
        if (temperatures[n].isDouble())
            values.emplace_back(topic("temperature_") + QString::number(n + 1),
                                number(temperatures[n]).toUtf8());
    }
    for (const auto& [where, payload] : values) {
        QByteArray& last = m_published[where];
        if (all || last != payload) {
            last = payload;
            m_link.publish(where, payload, true);
        }
    }
}

void MqttBridge::lampModeRead() {
    const QString read = m_queue.state().value(StateField::LampMode).toString();
    const QString asked = std::exchange(m_lampModeAsked, {});
    if (!asked.isEmpty() && lampModeShows(read, asked))
        m_lampModeChoice = asked;
    else if (m_lampModeChoice.isEmpty() || !lampModeShows(read, m_lampModeChoice))
        m_lampModeChoice = read; // chosen elsewhere: what the read says
}

void MqttBridge::discoveryAsked() {
    if (m_discoveryLater->isEnabled())
        return;
    // The clock is read once: read twice, the pause could come out negative.
    const std::chrono::milliseconds since =
        m_lastDiscovery ? m_timers.now() - *m_lastDiscovery : std::chrono::milliseconds::max();
    if (since < kDiscoveryInterval) {
        m_discoveryLater->setInterval(kDiscoveryInterval - since);
        m_discoveryLater->setEnabled(true);
        return;
    }
    publishDiscovery();
}

void MqttBridge::publishDiscovery() {
    if (m_settings.discoveryPrefix.isEmpty() || !m_link.isConnected())
        return;
    m_lastDiscovery = m_timers.now();
    for (const auto& [where, payload] :
         discoveryMessages({m_settings.discoveryPrefix, m_settings.base, m_settings.name,
                            m_settings.model, m_settings.url}))
        m_link.publish(where, payload, true);
}

void MqttBridge::message(const QString& where, const QByteArray& payload, bool retained,
                         [[maybe_unused]] const MqttRequest& request) {
    if (m_building.take(where, payload))
        return;
    if (!m_settings.discoveryPrefix.isEmpty() &&
        where == m_settings.discoveryPrefix + QStringLiteral("/status")) {
        if (payload == "online")
            discoveryAsked();
        return;
    }
    // A command kept by the broker was meant for some moment long past; it
    // would be carried out again at every start and reconnection.
    if (retained) {
        m_journal.complain(kWho,
                           QStringLiteral("ignored a retained message on %1: commands are taken "
                                          "only as they are sent (publish without retain; "
                                          "remove the retained one with an empty retained "
                                          "message)")
                               .arg(escapeControls(where)),
                           u"retained command", escapeControls(where), 1);
        return;
    }
    if (payload.size() > kLongestPayload) {
        ignore(where, payload, QStringLiteral("longer than %1 bytes").arg(kLongestPayload));
        return;
    }
    const QString text = QString::fromUtf8(payload).trimmed();
    const QString leaf = where.mid(m_settings.base.size() + 1);
    if (leaf == QLatin1String("power/set")) {
        if (text.compare(QLatin1String("ON"), Qt::CaseInsensitive) == 0)
            power(true);
        else if (text.compare(QLatin1String("OFF"), Qt::CaseInsensitive) == 0)
            power(false);
        else
            ignore(where, payload, QStringLiteral("it takes ON or OFF"));
        return;
    }
    if (leaf == QLatin1String("input/set")) {
        if (const Action* input = inputForPayload(text))
            sendAndRead(input->commands.constFirst(), StateField::Input);
        else
            ignore(where, payload,
                   QStringLiteral("it takes %1").arg(listOfChoices(inputPayloads())));
        return;
    }
    if (leaf == QLatin1String("lamp_mode/set")) {
        if (const Action* mode = lampModeForPayload(text)) {
            m_lampModeAsked = text;
            sendAndRead(mode->commands.constFirst(), StateField::LampMode);
        } else {
            ignore(where, payload,
                   QStringLiteral("it takes %1").arg(listOfChoices(lampModePayloads())));
        }
        return;
    }
    if (leaf == QLatin1String("button/set")) {
        const panel::ButtonEntry* button = nullptr;
        if (text.startsWith(QLatin1String("Command")))
            button = panel::findButton(wholeNumber(text.mid(7), 1, 999).value_or(0));
        if (!button)
            ignore(where, payload,
                   QStringLiteral("no such button; buttons are Command1 to Command76"));
        else if (button->command.empty())
            ignore(where, payload, QStringLiteral("that button sends no command"));
        else
            send({QString::fromLatin1(button->command)});
        return;
    }
    if (leaf == QLatin1String("command")) {
        const CheckedCommand checked = checkCommand(text);
        if (!checked.error.isEmpty()) {
            ignore(where, payload, checked.error);
            m_link.publish(topic("reply"),
                           QJsonDocument(QJsonObject{{QStringLiteral("error"), checked.error}})
                               .toJson(QJsonDocument::Compact),
                           false);
            return;
        }
        send({checked.command, Purpose::Reply});
    }
}

void MqttBridge::ignore(const QString& where, const QByteArray& payload, const QString& why) {
    const QString shown = escapeControls(QString::fromUtf8(payload.left(40)));
    m_journal.complain(kWho,
                       QStringLiteral("ignored %1 \"%2\"%3 (%4 bytes): %5")
                           .arg(escapeControls(where), shown,
                                payload.size() > 40 ? QStringLiteral("...") : QString())
                           .arg(payload.size())
                           .arg(why),
                       u"ignored payload", QStringLiteral("mqtt:") + escapeControls(where));
}

void MqttBridge::power(bool on) {
    // A newer power command replaces one that waits.
    const QString way = on ? QStringLiteral("on") : QStringLiteral("off");
    m_power.start(
        on, kManagedPowerWait,
        [this, way](const ManagedPower::Outcome& outcome) {
            m_journal.write(
                kWho, outcome.reached
                          ? QStringLiteral("power %1: the projector is %2").arg(way, outcome.words)
                          : QStringLiteral("power %1 not reached: %2").arg(way, outcome.words));
        },
        [this, way](PowerState state) {
            m_journal.write(
                kWho,
                QStringLiteral("power %1 waits: the projector is %2").arg(way, powerWord(state)));
        });
}

// The select shows the choice once the projector says it took it.
void MqttBridge::sendAndRead(const QString& command, StateField field) {
    send({command});
    send({readCommand(field)});
}

// Through the one queue, one after the other; a full queue drops what
// comes past its limit, and says so.
void MqttBridge::send(Pending pending) {
    const QString command = pending.command;
    m_queue.submit(m_client, command,
                   [this, pending = std::move(pending)](const Exchange* exchange) {
                       if (pending.purpose == Purpose::Reply)
                           publishReply(pending.command, exchange);
                       if (pending.ended)
                           pending.ended(exchange);
                   });
}

void MqttBridge::publishReply(const QString& command, const Exchange* exchange) {
    QJsonObject reply = exchange ? exchangeToJson(*exchange) : QJsonObject{};
    if (!exchange) {
        reply.insert(QStringLiteral("command"), command);
        reply.insert(QStringLiteral("answered"), false);
        reply.insert(QStringLiteral("outcome"), QStringLiteral("not sent"));
    }
    m_link.publish(topic("reply"), QJsonDocument(reply).toJson(QJsonDocument::Compact), false);
}

} // namespace kavo::service
