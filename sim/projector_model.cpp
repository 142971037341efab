#include "projector_model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kavo::sim {
namespace {

struct InputCommand {
    const char* command;
    int input;
};

// Selecting an input directly, or one of its sources.
constexpr InputCommand kInputCommands[] = {
    {"C05", 1},        {"C06", 2},        {"C07", 3},        {"C08", 4}, {"C50", 1},
    {"C51", 1},        {"C52", 1},        {"C53", 1},        {"C23", 2}, {"C24", 2},
    {"C25", 2},        {"C33", 3},        {"C34", 3},        {"C35", 3}, {"CF INPUT 1", 1},
    {"CF INPUT 2", 2}, {"CF INPUT 3", 3}, {"CF INPUT 4", 4},
};
constexpr int kInputCount = 4;

// Three sensors: what each settles at with the lamp off and with it lit.
struct Sensor {
    double idle;
    double lit;
};
constexpr std::array<Sensor, 3> kSensors{{{24.0, 31.0}, {25.5, 42.5}, {26.0, 57.0}}};
constexpr double kTemperatureLimit = 99.9; // five characters with sign and tenths

// The power read's code of a lamp failure; the lamp status read says X then.
constexpr char kLampFailure[] = "21";

QByteArray powerCode(Power power) {
    switch (power) {
    case Power::On:
        return "00";
    case Power::WarmingUp:
        return "40";
    case Power::CoolingDown:
        return "20";
    case Power::Standby:
        break;
    }
    return "80";
}

QByteArray lampModeWord(LampMode mode) {
    switch (mode) {
    case LampMode::High:
        return "HIGH";
    case LampMode::Eco:
        return "ECO";
    case LampMode::Normal:
        break;
    }
    return "NORMAL";
}

// "+31.5": sign, two digits, point, tenths.
QByteArray temperatureField(double value) {
    const double shown = std::clamp(value, -kTemperatureLimit, kTemperatureLimit);
    char field[16];
    std::snprintf(field, sizeof field, "%+05.1f", shown);
    return QByteArray(field);
}

bool matchesTemplate(QByteArrayView line, QByteArrayView pattern) {
    if (line.size() != pattern.size())
        return false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const char want = pattern[i];
        const char got = line[i];
        if (want == '%' ? (got < '0' || got > '9') : got != want)
            return false;
    }
    return true;
}

} // namespace

CommandSet::CommandSet(const QStringList& commands) {
    for (const QString& command : commands) {
        const QByteArray text = command.toLatin1();
        if (text.contains('%'))
            m_templates.push_back(text);
        else
            m_exact.insert(text);
    }
}

bool CommandSet::accepts(QByteArrayView line) const {
    if (m_exact.contains(line.toByteArray()))
        return true;
    return std::any_of(m_templates.begin(), m_templates.end(),
                       [&](const QByteArray& pattern) { return matchesTemplate(line, pattern); });
}

std::vector<LineReader::Line> LineReader::feed(QByteArrayView bytes) {
    std::vector<Line> lines;
    for (const char byte : bytes) {
        if (byte == kCrByte) {
            lines.push_back({m_dropped ? QByteArray() : m_buffer, m_dropped});
            m_buffer.clear();
            m_dropped = 0;
        } else if (m_dropped) {
            ++m_dropped;
        } else if (m_buffer.size() >= kMaxCommandLength) {
            m_dropped = m_buffer.size() + 1;
            m_buffer.clear();
        } else {
            m_buffer.append(byte);
        }
    }
    return lines;
}

ProjectorModel::ProjectorModel(CommandSet commands, ModelSettings settings)
    : m_commands(std::move(commands)), m_settings(settings), m_lampMode(settings.lampMode) {
    m_settings.lampHour = std::max(m_settings.lampHour, milliseconds{1});
    for (std::size_t i = 0; i < kSensors.size(); ++i)
        m_temperatures[i] = kSensors[i].idle;
}

std::vector<Exchange> ProjectorModel::receive(QByteArrayView bytes, milliseconds now) {
    std::vector<Exchange> exchanges;
    for (LineReader::Line& line : m_reader.feed(bytes)) {
        if (line.dropped) {
            advanceTo(now);
            exchanges.push_back({QByteArray(), line.dropped, kUnknownReply});
            continue;
        }
        QByteArray reply = answer(line.text, now);
        exchanges.push_back({line.text + kCrByte, 0, std::move(reply)});
    }
    return exchanges;
}

QByteArray ProjectorModel::answer(QByteArrayView command, milliseconds now) {
    advanceTo(now);
    if (!m_commands.accepts(command))
        return kUnknownReply;
    apply(command);
    advanceTo(now); // a zero warm-up ends at once
    const QByteArray data = statusRead(command);
    return data.isNull() ? QByteArray(1, kAckByte) : data + kCrByte;
}

std::optional<milliseconds> ProjectorModel::phaseEnd() const {
    if (m_power == Power::WarmingUp)
        return m_phaseStart + m_settings.warmUp;
    if (m_power == Power::CoolingDown)
        return m_phaseStart + m_settings.coolDown;
    return std::nullopt;
}

// Lets time pass up to `now`, one power phase at a time, so that lamp hours
// and temperatures follow the phase they were in.
void ProjectorModel::advanceTo(milliseconds now) {
    for (;;) {
        while (const auto end = phaseEnd()) {
            if (*end > m_now)
                break;
            m_power = m_power == Power::WarmingUp ? Power::On : Power::Standby;
            m_phaseStart = *end;
        }
        if (now <= m_now)
            return;
        const milliseconds until = std::min(now, phaseEnd().value_or(now));
        const milliseconds span = until - m_now;
        const double keep = std::exp(-double(span.count()) / double(kThermalTimeConstant.count()));
        for (std::size_t i = 0; i < kSensors.size(); ++i) {
            const double target = lampLit() ? kSensors[i].lit : kSensors[i].idle;
            m_temperatures[i] = target + (m_temperatures[i] - target) * keep;
        }
        if (lampLit())
            m_litTime += span;
        m_now = until;
    }
}

void ProjectorModel::powerOn() {
    if (m_power == Power::Standby) {
        m_power = Power::WarmingUp;
        m_phaseStart = m_now;
    }
}

// A lamp that has been lit, even briefly, needs its cool-down.
void ProjectorModel::powerOff() {
    if (lampLit()) {
        m_power = Power::CoolingDown;
        m_phaseStart = m_now;
    }
}

void ProjectorModel::apply(QByteArrayView command) {
    if (command == "C00" || command == "CF POWER ON")
        return powerOn();
    if (command == "C01" || command == "C02" || command == "CF POWER OFF")
        return powerOff();
    for (const InputCommand& entry : kInputCommands) {
        if (command == entry.command) {
            m_input = entry.input;
            return;
        }
    }
    if (command == "CF INPUT UP") {
        m_input = m_input % kInputCount + 1;
    } else if (command == "CF INPUT DN") {
        m_input = (m_input + kInputCount - 2) % kInputCount + 1;
    } else if (command.startsWith("CF INPUT") && command.size() > 9 && command[9] == ' ' &&
               command[8] >= '1' && command[8] <= '4') {
        m_input = command[8] - '0'; // "CF INPUT2 VIDEO" and the like
    } else if (command == "CF CEIL ON" || command == "CF CEIL OFF") {
        m_ceiling = command.endsWith("ON");
    } else if (command == "CF REAR ON" || command == "CF REAR OFF") {
        m_rear = command.endsWith("ON");
    } else if (command == "CF LAMPMODE NORMAL" || command == "CF LAMPMODE AUTO") {
        m_lampMode = LampMode::Normal;
    } else if (command == "CF LAMPMODE ECO1" || command == "CF LAMPMODE ECO2") {
        m_lampMode = LampMode::Eco;
    }
}

// Data for the seven reads the panel decodes; a null array for anything else.
QByteArray ProjectorModel::statusRead(QByteArrayView command) const {
    if (command == "CR0")
        return m_fault.isEmpty() ? powerCode(m_power) : m_fault;
    if (command == "CR1")
        return QByteArray::number(m_input);
    if (command == "CR3") {
        const qint64 hours = m_settings.lampHours + m_litTime / m_settings.lampHour;
        return QByteArray::number(std::clamp<qint64>(hours, 0, kMaxLampHours))
            .rightJustified(5, '0');
    }
    if (command == "CR4") {
        // A ceiling mount turns the picture over (both axes), rear projection
        // mirrors it left to right; both together leave only top/bottom.
        const bool topBottom = m_ceiling;
        const bool leftRight = m_ceiling != m_rear;
        return QByteArray(1, leftRight ? '0' : '1') + (topBottom ? '0' : '1');
    }
    if (command == "CR6") {
        QByteArrayList fields;
        for (std::size_t i = 0; i < m_temperatures.size(); ++i)
            fields.append(temperatureField(m_held[i].value_or(m_temperatures[i])));
        return fields.join(' ');
    }
    if (command == "CR LAMPSTS")
        return QByteArray("000 1") + (m_fault == kLampFailure ? 'X' : lampLit() ? 'I' : 'O');
    if (command == "CR LAMPMODE")
        return "000 " + lampModeWord(m_lampMode);
    return QByteArray();
}

const char* const kControlHelp =
    "Lines on standard input change the projector: \"lamp-hours N\", \"fault lamp\",\n"
    "\"fault temperature\", \"fault power\", \"temperature S C\" (sensor S of 1..3 held\n"
    "at C degrees Celsius), \"clear\" (no fault, no sensor held).";

QString ProjectorModel::control(QByteArrayView line, milliseconds now) {
    advanceTo(now);
    const QList<QByteArray> words = line.toByteArray().simplified().split(' ');
    bool number = true;
    if (words.size() == 2 && words[0] == "lamp-hours") {
        const qint64 hours = words[1].toLongLong(&number);
        if (!number || hours < 0 || hours > kMaxLampHours)
            return QStringLiteral("lamp-hours takes 0 to %1").arg(kMaxLampHours);
        m_settings.lampHours = int(hours);
        m_litTime = milliseconds{0};
        return {};
    }
    if (words.size() == 2 && words[0] == "fault") {
        static const std::array<std::pair<QByteArrayView, QByteArrayView>, 3> codes{{
            {"lamp", kLampFailure},
            {"temperature", "08"},
            {"power", "10"},
        }};
        for (const auto& [name, code] : codes) {
            if (words[1] == name) {
                m_fault = code.toByteArray();
                return {};
            }
        }
        return QStringLiteral("fault takes lamp, temperature or power");
    }
    if (words.size() == 3 && words[0] == "temperature") {
        const int sensor = words[1].toInt(&number);
        bool degrees = false;
        const double value = words[2].toDouble(&degrees);
        if (!number || !degrees || sensor < 1 || sensor > int(m_held.size()) ||
            std::abs(value) > kTemperatureLimit)
            return QStringLiteral("temperature takes a sensor 1 to 3 and degrees Celsius");
        m_held[std::size_t(sensor - 1)] = value;
        return {};
    }
    if (words.size() == 1 && words[0] == "clear") {
        m_fault.clear();
        m_held = {};
        return {};
    }
    return QStringLiteral("unknown: %1").arg(QString::fromLatin1(line.toByteArray().left(40)));
}

} // namespace kavo::sim
