#include "mqtt_discovery.h"

#include "button_map.h"
#include "kavo_version.h"

#include <array>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace kavo::service {
namespace {

// Frames whose buttons the power switch and the input select stand for.
constexpr std::array kPowerAndInputFrames{1, 2, 8, 11, 12};

QJsonArray words(const QStringList& list) {
    return QJsonArray::fromStringList(list);
}

QString inputWord(const Action& action) {
    return action.confirmation;
}
QString lampModeWord(const Action& action) {
    return action.name.section(QLatin1Char(' '), 1);
}
QStringList payloads(QStringView prefix, QString (*word)(const Action&)) {
    QStringList found;
    for (const Action* action : actionsNamed(prefix))
        found.append(word(*action));
    return found;
}
const Action* forPayload(QStringView prefix, QString (*word)(const Action&),
                         const QString& payload) {
    for (const Action* action : actionsNamed(prefix)) {
        if (!payload.isEmpty() && word(*action) == payload)
            return action;
    }
    return nullptr;
}

} // namespace

QStringList inputPayloads() {
    return payloads(u"input", inputWord);
}
QStringList lampModePayloads() {
    return payloads(u"lamp-mode", lampModeWord);
}
const Action* inputForPayload(const QString& payload) {
    return forPayload(u"input", inputWord, payload);
}
const Action* lampModeForPayload(const QString& payload) {
    return forPayload(u"lamp-mode", lampModeWord, payload);
}

std::vector<std::pair<QString, QByteArray>> discoveryMessages(const DiscoverySettings& settings) {
    std::vector<std::pair<QString, QByteArray>> messages;
    const QString& prefix = settings.prefix;
    const auto topic = [&](const char* leaf) {
        return settings.base + QLatin1Char('/') + QLatin1String(leaf);
    };
    const QString node = QStringLiteral("kavo_") + settings.name;
    QJsonObject device{
        {QStringLiteral("identifiers"), words({node})},
        {QStringLiteral("name"), settings.name},
        {QStringLiteral("manufacturer"), QStringLiteral("KAVO")},
        {QStringLiteral("model"), settings.model},
        {QStringLiteral("sw_version"), QStringLiteral(KAVO_VERSION)},
    };
    if (!settings.url.isEmpty())
        device.insert(QStringLiteral("configuration_url"), settings.url);
    const auto publish = [&](const char* component, const QString& object, const QString& name,
                             QJsonObject config) {
        config.insert(QStringLiteral("name"), name);
        config.insert(QStringLiteral("unique_id"), node + QLatin1Char('_') + object);
        config.insert(QStringLiteral("object_id"), node + QLatin1Char('_') + object);
        config.insert(QStringLiteral("availability_topic"), topic("availability"));
        config.insert(QStringLiteral("device"), device);
        messages.emplace_back(QStringLiteral("%1/%2/%3/%4/config")
                                  .arg(prefix, QLatin1String(component), node, object),
                              QJsonDocument(config).toJson(QJsonDocument::Compact));
    };
    const auto state = [&](const char* leaf) {
        return QJsonObject{{QStringLiteral("state_topic"), topic(leaf)}};
    };
    QJsonObject power = state("power");
    power.insert(QStringLiteral("command_topic"), topic("power/set"));
    power.insert(QStringLiteral("payload_on"), QStringLiteral("ON"));
    power.insert(QStringLiteral("payload_off"), QStringLiteral("OFF"));
    publish("switch", QStringLiteral("power"), QStringLiteral("Power"), power);

    const QStringList inputs = inputPayloads();
    QJsonObject input = state("input");
    input.insert(QStringLiteral("command_topic"), topic("input/set"));
    input.insert(QStringLiteral("options"), words(inputs));
    publish("select", QStringLiteral("input"), QStringLiteral("Input"), input);

    // The lamp mode read says high, normal or eco; the buttons choose normal,
    // eco1, eco2 or auto: the select shows the choice while the read agrees
    // with it, else the read where it is one of the choices.
    const QStringList modes = lampModePayloads();
    QJsonObject lampMode = state("lamp_mode_choice");
    lampMode.insert(QStringLiteral("command_topic"), topic("lamp_mode/set"));
    lampMode.insert(QStringLiteral("options"), words(modes));
    lampMode.insert(
        QStringLiteral("value_template"),
        QStringLiteral("{{ value if value in %1 else 'None' }}")
            .arg(QString::fromUtf8(QJsonDocument(words(modes)).toJson(QJsonDocument::Compact))
                     .replace(QLatin1Char('"'), QLatin1Char('\''))));
    publish("select", QStringLiteral("lamp_mode_choice"), QStringLiteral("Lamp mode choice"),
            lampMode);

    struct Sensor {
        const char* leaf;
        const char* name;
        const char* unit; // empty: a word
        const char* deviceClass;
    };
    const std::array sensors{
        Sensor{"power_state", "Power state", "", ""},
        Sensor{"lamp_hours", "Lamp hours", "h", "duration"},
        Sensor{"temperature_1", "Temperature 1", "°C", "temperature"},
        Sensor{"temperature_2", "Temperature 2", "°C", "temperature"},
        Sensor{"temperature_3", "Temperature 3", "°C", "temperature"},
        Sensor{"lamp_mode", "Lamp mode", "", ""},
        Sensor{"lamp_status", "Lamp status", "", ""},
        Sensor{"setting", "Setting", "", ""},
    };
    for (const Sensor& sensor : sensors) {
        QJsonObject config = state(sensor.leaf);
        if (*sensor.unit) {
            config.insert(QStringLiteral("unit_of_measurement"), QString::fromUtf8(sensor.unit));
            config.insert(QStringLiteral("device_class"), QLatin1String(sensor.deviceClass));
            config.insert(QStringLiteral("state_class"), QStringLiteral("measurement"));
        }
        publish("sensor", QLatin1String(sensor.leaf), QLatin1String(sensor.name), config);
    }

    QJsonObject problem = state("power_state");
    problem.insert(QStringLiteral("device_class"), QStringLiteral("problem"));
    problem.insert(QStringLiteral("value_template"),
                   QStringLiteral("{{ 'ON' if value in ['power_fault', 'temperature_fault', "
                                  "'lamp_failure'] else 'OFF' }}"));
    publish("binary_sensor", QStringLiteral("problem"), QStringLiteral("Problem"), problem);

    // Alerts as an event entity: the event's state is its type, the rest
    // its attributes.
    QJsonObject alert = state("event");
    alert.insert(QStringLiteral("event_types"),
                 words({QStringLiteral("raised"), QStringLiteral("cleared")}));
    alert.insert(QStringLiteral("value_template"),
                 QStringLiteral("{{ {'event_type': value_json.state, 'event': value_json.event, "
                                "'description': value_json.description, 'detail': "
                                "value_json.detail} | tojson }}"));
    publish("event", QStringLiteral("alert"), QStringLiteral("Alert"), alert);

    for (const panel::ButtonEntry& button : panel::buttons()) {
        if (button.kind != panel::Kind::Click ||
            std::ranges::find(kPowerAndInputFrames, button.frame) != kPowerAndInputFrames.end())
            continue;
        const QString caption = QString::fromLatin1(panel::shownCaption(button));
        const QString name = button.frame == 0 ? caption
                                               : QString::fromStdString(panel::groupName(button)) +
                                                     QLatin1Char(' ') + caption;
        const QString id = QStringLiteral("Command%1").arg(button.number);
        publish("button", id.toLower(), name,
                QJsonObject{{QStringLiteral("command_topic"), topic("button/set")},
                            {QStringLiteral("payload_press"), id}});
    }
    return messages;
}

} // namespace kavo::service
