#include "mqtt_bridge.h"

#include "button_map.h"
#include "command_check.h"
#include "exchange_report.h"
#include "line_settings.h"
#include "mqtt_discovery.h"
#include "option_table.h"
#include "port_paths.h"

#include <array>
#include <memory>
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
      // A projector's own answer when its power wait ends comes a moment after that wait.
      m_groupActions(link, timers, journal, m_settings.root, m_settings.brokerUser,
                     kManagedPowerWait + kGroupAnswerWait),
      m_power(
          [this](const QString& command, ManagedPower::Ended ended) {
              send({command, Purpose::Plain, std::move(ended), m_powerAsked.requester});
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
    for (const auto& [name, requester] : m_requesters)
        m_queue.removeClient(requester.id);
}

QString MqttBridge::topic(const char* leaf) const {
    return m_settings.base + QLatin1Char('/') + QLatin1String(leaf);
}

void MqttBridge::start() {
    m_link.start(
        {[this] { connected(); }, [this](const QString& what) { m_journal.write(kWho, what); },
         [this](const QString& topic, const QByteArray& payload, bool retained,
                const MqttRequest& request) { message(topic, payload, retained, request); },
         [this](const QString& topic, const QByteArray& correlation, const QString& why) {
             m_groupActions.refused(topic, correlation, why);
         }});
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
    for (const char* leaf :
         {"power/set", "action", "input/set", "lamp_mode/set", "button/set", "command"})
        m_link.subscribe(topic(leaf));
    if (!m_settings.discoveryPrefix.isEmpty())
        m_link.subscribe(m_settings.discoveryPrefix + QStringLiteral("/status"));
    m_groupActions.connected();
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
    const QByteArray now = announcementPayload({m_settings.name, m_settings.description,
                                                m_settings.groups, m_settings.url, m_openAlerts,
                                                m_settings.model, m_settings.lampAlertHours});
    const QString where = topic("info");
    if (m_link.isConnected() && m_published[where] != now) {
        m_published[where] = now;
        m_link.publish(where, now, true);
    }
}

void MqttBridge::publishState(bool all) {
    const ProjectorState& state = m_queue.state();
    std::vector<std::pair<QString, QByteArray>> values;
    // Every service of the building follows every other's state: one that
    // says only that it was read again goes out at most every
    // kStateRefresh, so that a building's traffic grows with its changes,
    // not with its size squared.
    const QJsonObject json = state.toJson();
    QJsonObject readings = json;
    readings.remove(QStringLiteral("read_at"));
    const std::chrono::milliseconds now = m_timers.now();
    if (all || readings != m_stateReadings || !m_stateAt || now - *m_stateAt >= kStateRefresh) {
        m_stateReadings = readings;
        m_stateAt = now;
        values.emplace_back(topic("state"), QJsonDocument(json).toJson(QJsonDocument::Compact));
    }
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
                         const MqttRequest& request) {
    if (m_groupActions.take(where, payload, request) || m_building.take(where, payload))
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
    Asked asked{request.requester, {}, request.correlation};
    if (isResponseTopic(m_settings.root, request.responseTopic))
        asked.answerTopic = request.responseTopic;
    else if (!request.responseTopic.isEmpty())
        // Answered anywhere else, a requester could make this service write
        // on topics it has no business on.
        m_journal.complain(kWho,
                           QStringLiteral("no answer on the response topic of %1: answers go "
                                          "only under %2/_replies/")
                               .arg(escapeControls(where), m_settings.root),
                           u"response topic", escapeControls(where));
    if (!asked.requester.isEmpty() && !isRequesterName(asked.requester)) {
        refuse(where, payload,
               QStringLiteral("the requester's name is not 1 to 64 letters, digits and ._@:-"),
               asked);
        return;
    }
    if (payload.size() > kLongestPayload) {
        refuse(where, payload, QStringLiteral("longer than %1 bytes").arg(kLongestPayload), asked);
        return;
    }
    command(where, payload, asked);
}

void MqttBridge::command(const QString& where, const QByteArray& payload, const Asked& asked) {
    const QString text = QString::fromUtf8(payload).trimmed();
    const QString leaf = where.mid(m_settings.base.size() + 1);
    // The topics that name an action, and what each takes.
    const Action* action = nullptr;
    QString takes;
    if (leaf == QLatin1String("power/set") || leaf == QLatin1String("action")) {
        action = actionForBroker(leaf, text);
        takes = leaf == QLatin1String("action") ? QStringLiteral("no such action")
                                                : QStringLiteral("it takes ON or OFF");
    } else if (leaf == QLatin1String("input/set")) {
        action = inputForPayload(text);
        takes = QStringLiteral("it takes %1").arg(listOfChoices(inputPayloads()));
    } else if (leaf == QLatin1String("lamp_mode/set")) {
        action = lampModeForPayload(text);
        takes = QStringLiteral("it takes %1").arg(listOfChoices(lampModePayloads()));
    }
    if (!takes.isEmpty()) {
        if (!action) {
            refuse(where, payload, takes, asked);
        } else if (accept(where, payload, asked, action->name)) {
            if (action->confirmedBy == StateField::Power)
                power(action->name == QLatin1String("power on"), asked);
            else
                run(action->commands, action, Purpose::Plain, asked);
        }
        return;
    }
    if (leaf == QLatin1String("button/set")) {
        const panel::ButtonEntry* button = nullptr;
        if (text.startsWith(QLatin1String("Command")))
            button = panel::findButton(wholeNumber(text.mid(7), 1, 999).value_or(0));
        if (!button)
            refuse(where, payload,
                   QStringLiteral("no such button; buttons are Command1 to Command76"), asked);
        else if (button->command.empty())
            refuse(where, payload, QStringLiteral("that button sends no command"), asked);
        else if (accept(where, payload, asked, text))
            run({QString::fromLatin1(button->command)}, nullptr, Purpose::Plain, asked);
        return;
    }
    if (leaf == QLatin1String("command")) {
        const CheckedCommand checked = checkCommand(text);
        if (!checked.error.isEmpty()) {
            refuse(where, payload, checked.error, asked);
            m_link.publish(topic("reply"),
                           QJsonDocument(QJsonObject{{QStringLiteral("error"), checked.error}})
                               .toJson(QJsonDocument::Compact),
                           false);
            return;
        }
        if (accept(where, payload, asked, checked.command))
            run({checked.command}, nullptr, Purpose::Reply, asked);
    }
}

// Whether the request goes ahead; if so, it is answered "accepted" now.
bool MqttBridge::accept(const QString& where, const QByteArray& payload, const Asked& asked,
                        const QString& what) {
    // Without an answer to give, the queue says in the journal what went nowhere.
    if (!asked.answerTopic.isEmpty() && !m_lineOpen) {
        refuse(where, payload, QStringLiteral("the line to the projector is down"), asked);
        return false;
    }
    if (!clientFor(asked.requester)) {
        refuse(where, payload,
               QStringLiteral("%1 other requesters have commands waiting").arg(kMostRequesters),
               asked);
        return false;
    }
    answer(asked, GroupOutcome::Accepted, what);
    return true;
}

// The requester's own queue client; a new one takes the place of the one
// used least recently with nothing waiting, so that however many names
// arrive the clients stay few.
std::optional<ClientId> MqttBridge::clientFor(const QString& requester) {
    if (requester.isEmpty())
        return m_client;
    auto found = m_requesters.find(requester);
    if (found == m_requesters.end()) {
        if (m_requesters.size() >= kMostRequesters) {
            auto idle = m_requesters.end();
            for (auto it = m_requesters.begin(); it != m_requesters.end(); ++it) {
                const bool powering = m_power.running() && it->first == m_powerAsked.requester;
                if (it->second.busy == 0 && !powering &&
                    (idle == m_requesters.end() || it->second.lastUse < idle->second.lastUse))
                    idle = it;
            }
            if (idle == m_requesters.end())
                return std::nullopt;
            m_queue.removeClient(idle->second.id);
            m_requesters.erase(idle);
        }
        found = m_requesters
                    .emplace(requester,
                             Requester{m_queue.addClient(whoFor(requester), Policy::Requests)})
                    .first;
    }
    found->second.lastUse = ++m_uses;
    return found->second.id;
}

QString MqttBridge::whoFor(const QString& requester) const {
    return requester.isEmpty() ? kWho : kWho + QLatin1Char(':') + requester;
}

void MqttBridge::answer(const Asked& asked, GroupOutcome outcome, const QString& detail) {
    if (asked.answerTopic.isEmpty())
        return;
    m_link.publish(asked.answerTopic, groupReplyPayload({m_settings.name, outcome, detail}),
                   MqttRequest{{}, asked.correlation, {}});
}

void MqttBridge::refuse(const QString& where, const QByteArray& payload, const QString& why,
                        const Asked& asked) {
    ignore(where, payload, why);
    answer(asked, GroupOutcome::Refused, why);
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

void MqttBridge::power(bool on, const Asked& asked) {
    // The broker delivers a request at least once: the same one again keeps
    // waiting rather than end itself as replaced.
    if (m_power.running() && on == m_powerOn && !asked.correlation.isEmpty() &&
        asked.correlation == m_powerAsked.correlation &&
        asked.answerTopic == m_powerAsked.answerTopic)
        return;
    // A newer power command replaces one that waits; whoever asked for that
    // one is told, not left waiting for an answer that never comes.
    if (m_power.running())
        answer(m_powerAsked, GroupOutcome::NotReached,
               QStringLiteral("replaced by a newer power request"));
    m_powerAsked = asked;
    m_powerOn = on;
    const QString way = on ? QStringLiteral("on") : QStringLiteral("off");
    const QString who = whoFor(asked.requester);
    m_power.start(
        on, kManagedPowerWait,
        [this, way, who, asked](const ManagedPower::Outcome& outcome) {
            m_journal.write(
                who, outcome.reached
                         ? QStringLiteral("power %1: the projector is %2").arg(way, outcome.words)
                         : QStringLiteral("power %1 not reached: %2").arg(way, outcome.words));
            if (outcome.reached)
                answer(asked, GroupOutcome::Reached, powerWord(outcome.last));
            else
                answer(asked, GroupOutcome::NotReached, outcome.words);
        },
        [this, way, who](PowerState state) {
            m_journal.write(
                who,
                QStringLiteral("power %1 waits: the projector is %2").arg(way, powerWord(state)));
        });
}

// The commands, then the read that confirms the action where there is one;
// reached when every one was answered and the read shows the action took.
void MqttBridge::run(const QStringList& commands, const Action* action, Purpose purpose,
                     const Asked& asked) {
    struct Run {
        qsizetype left = 0;
        QString failed;
        QString reading;
    };
    const std::optional<StateField> field = action ? action->confirmedBy : std::nullopt;
    if (field == StateField::LampMode)
        m_lampModeAsked = action->name.section(QLatin1Char(' '), 1);
    auto progress = std::make_shared<Run>();
    progress->left = commands.size() + (field ? 1 : 0);
    const auto ended = [this, progress, action, field, asked](const QString& command,
                                                              const Exchange* exchange, bool read) {
        // The first command that went wrong says why.
        if (progress->failed.isEmpty()) {
            if (!exchange)
                progress->failed = QStringLiteral("\"%1\" was not sent").arg(command);
            else if (exchange->kind != ReplyKind::Answered)
                progress->failed =
                    QStringLiteral("\"%1\" got %2").arg(command, outcomeWord(exchange->kind));
            else if (read)
                progress->reading = m_queue.state().value(*field).toString();
        }
        if (--progress->left > 0)
            return;
        if (!progress->failed.isEmpty())
            answer(asked, GroupOutcome::NotReached, progress->failed);
        else if (!field)
            answer(asked, GroupOutcome::Reached, QStringLiteral("answered"));
        else if (confirms(*action, progress->reading))
            answer(asked, GroupOutcome::Reached, progress->reading);
        else
            answer(asked, GroupOutcome::NotReached,
                   QStringLiteral("the projector reads %1")
                       .arg(progress->reading.isEmpty() ? QStringLiteral("nothing")
                                                        : progress->reading));
    };
    for (const QString& command : commands)
        send({command, purpose,
              [ended, command](const Exchange* exchange) { ended(command, exchange, false); },
              asked.requester});
    if (field) {
        const QString read = readCommand(*field);
        send({read, Purpose::Plain,
              [ended, read](const Exchange* exchange) { ended(read, exchange, true); },
              asked.requester});
    }
}

// Through the one queue, one after the other; a full queue drops what
// comes past its limit, and says so.
void MqttBridge::send(Pending pending) {
    const QString command = pending.command;
    ClientId client = m_client;
    if (const auto found = m_requesters.find(pending.requester); found != m_requesters.end()) {
        client = found->second.id;
        ++found->second.busy;
    }
    m_queue.submit(client, command, [this, pending = std::move(pending)](const Exchange* exchange) {
        // Told only while the client is there: it stays while it has commands.
        if (const auto found = m_requesters.find(pending.requester); found != m_requesters.end())
            --found->second.busy;
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
