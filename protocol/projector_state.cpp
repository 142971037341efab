#include "projector_state.h"

#include "line_constants.h"
#include "projector_vocabulary.h"

#include <QJsonArray>

namespace kavo {
namespace {

struct Word {
    const char* command;
    StateField field;
    const char* decoded; // the status line's text
    const char* word;
};

// The status read's texts as power states, whose words the vocabulary
// keeps; the same text for several codes (the temperature faults) gives the
// same state.
struct PowerText {
    const char* decoded;
    PowerState state;
};
constexpr std::array kPowerTexts{
    PowerText{" Power ON", PowerState::On},
    PowerText{" Stand by", PowerState::Standby},
    PowerText{" Count down", PowerState::WarmingUp},
    PowerText{" Cooling down", PowerState::CoolingDown},
    PowerText{" Power abnormality", PowerState::PowerFault},
    PowerText{" Temperature abnormality", PowerState::TemperatureFault},
    PowerText{" Lamp Failure", PowerState::LampFailure},
};

// The other reads' texts as words.
constexpr std::array kWords{
    Word{"CR1", StateField::Input, " Input 1", "input_1"},
    Word{"CR1", StateField::Input, " Input 2", "input_2"},
    Word{"CR1", StateField::Input, " Input 3", "input_3"},
    Word{"CR1", StateField::Input, " Wired", "wired"},
    Word{"CR1", StateField::Input, " Wireless/Viewer", "wireless_viewer"},
    Word{"CR4", StateField::Setting, " Normally", "normal"},
    Word{"CR4", StateField::Setting, " Top/Bottom reversal", "top_bottom_reversed"},
    Word{"CR4", StateField::Setting, " Left/Right reversal", "left_right_reversed"},
    Word{"CR4", StateField::Setting, " Top/Bottom , Left/Right reversal", "both_reversed"},
    Word{"CR LAMPSTS", StateField::LampStatus, " Lamp is ON", "on"},
    Word{"CR LAMPSTS", StateField::LampStatus, " Lamp is OFF", "off"},
    Word{"CR LAMPSTS", StateField::LampStatus, " Lamp is failure", "failure"},
    Word{"CR LAMPMODE", StateField::LampMode, " Lamp Mode is High", "high"},
    Word{"CR LAMPMODE", StateField::LampMode, " Lamp Mode is NORMAL", "normal"},
    Word{"CR LAMPMODE", StateField::LampMode, " Lamp Mode is Eco", "eco"},
};

// The reply without its CR, split at blanks.
QStringList fields(const Exchange& exchange) {
    return exchange.reply.chopped(1).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

std::optional<std::pair<StateField, QJsonValue>> valueOf(const Exchange& exchange) {
    if (exchange.kind != ReplyKind::Answered || !exchange.status || !exchange.reply.endsWith(kCr))
        return std::nullopt;
    if (exchange.command == QLatin1String("CR3")) {
        bool number = false;
        const int hours = exchange.reply.chopped(1).toInt(&number);
        if (!number)
            return std::nullopt;
        return std::pair{StateField::LampHours, QJsonValue(hours)};
    }
    if (exchange.command == QLatin1String("CR6")) {
        QJsonArray degrees;
        for (const QString& field : fields(exchange)) {
            bool number = false;
            const double value = field.toDouble(&number);
            if (!number)
                return std::nullopt;
            degrees.append(value);
        }
        if (degrees.size() != 3)
            return std::nullopt;
        return std::pair{StateField::Temperatures, QJsonValue(degrees)};
    }
    if (exchange.command == readCommand(StateField::Power)) {
        for (const PowerText& text : kPowerTexts) {
            if (*exchange.status == QLatin1String(text.decoded))
                return std::pair{StateField::Power, QJsonValue(powerWord(text.state))};
        }
        return std::nullopt;
    }
    for (const Word& word : kWords) {
        if (exchange.command == QLatin1String(word.command) &&
            *exchange.status == QLatin1String(word.decoded))
            return std::pair{word.field, QJsonValue(QLatin1String(word.word))};
    }
    return std::nullopt;
}

} // namespace

QString stateFieldName(StateField field) {
    switch (field) {
    case StateField::Power:
        return QStringLiteral("power");
    case StateField::Input:
        return QStringLiteral("input");
    case StateField::LampHours:
        return QStringLiteral("lamp_hours");
    case StateField::Temperatures:
        return QStringLiteral("temperatures_c");
    case StateField::LampMode:
        return QStringLiteral("lamp_mode");
    case StateField::LampStatus:
        return QStringLiteral("lamp_status");
    case StateField::Setting:
        return QStringLiteral("setting");
    }
    return {};
}

QString readCommand(StateField field) {
    switch (field) {
    case StateField::Power:
        return QStringLiteral("CR0");
    case StateField::Input:
        return QStringLiteral("CR1");
    case StateField::LampHours:
        return QStringLiteral("CR3");
    case StateField::Temperatures:
        return QStringLiteral("CR6");
    case StateField::LampMode:
        return QStringLiteral("CR LAMPMODE");
    case StateField::LampStatus:
        return QStringLiteral("CR LAMPSTS");
    case StateField::Setting:
        return QStringLiteral("CR4");
    }
    return {};
}

std::optional<StateField> ProjectorState::update(const Exchange& exchange,
                                                 const QDateTime& readAt) {
    const auto found = valueOf(exchange);
    if (!found)
        return std::nullopt;
    Reading& reading = m_readings[std::size_t(found->first)];
    reading.readAt = readAt;
    reading.stale = false;
    if (reading.value == found->second)
        return std::nullopt;
    reading.value = found->second;
    return found->first;
}

void ProjectorState::markStale() {
    for (Reading& reading : m_readings)
        reading.stale = true;
}

bool ProjectorState::isCurrent(StateField field, std::chrono::milliseconds maxAge,
                               const QDateTime& now) const {
    const Reading& reading = m_readings[std::size_t(field)];
    return !reading.stale && reading.readAt.isValid() &&
           reading.readAt.msecsTo(now) <= maxAge.count();
}

QJsonValue ProjectorState::value(StateField field) const {
    return m_readings[std::size_t(field)].value;
}

QDateTime ProjectorState::readAt(StateField field) const {
    return m_readings[std::size_t(field)].readAt;
}

PowerState ProjectorState::power() const {
    return powerStateOf(value(StateField::Power).toString());
}

QJsonObject ProjectorState::toJson() const {
    QJsonObject state;
    QJsonObject times;
    for (std::size_t i = 0; i < kStateFieldCount; ++i) {
        const QString name = stateFieldName(StateField(i));
        state.insert(name, m_readings[i].value);
        const QDateTime& at = m_readings[i].readAt;
        times.insert(name, at.isValid() ? QJsonValue(at.toUTC().toString(Qt::ISODateWithMs))
                                        : QJsonValue(QJsonValue::Null));
    }
    state.insert(QStringLiteral("read_at"), times);
    return state;
}

} // namespace kavo
