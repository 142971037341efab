#include "status_decoders.h"

#include "line_settings.h"

#include <array>
#include <utility>

namespace kavo {
namespace {

using Row = std::pair<QLatin1StringView, QLatin1StringView>;

constexpr std::array kPowerRows{
    Row{" 0 0", " Power ON"},
    Row{" 8 0", " Stand by"},
    Row{" 4 0", " Count down"},
    Row{" 2 0", " Cooling down"},
    Row{" 1 0", " Power abnormality"},
    Row{" 0 8", " Temperature abnormality"},
    Row{" 1 8", " Temperature abnormality"},
    Row{" 2 8", " Temperature abnormality"},
    Row{" 4 8", " Temperature abnormality"},
    Row{" 8 8", " Temperature abnormality"},
    Row{" 2 1", " Lamp Failure"},
    Row{" 8 1", " Lamp Failure"},
};

constexpr std::array kInputRows{
    Row{" 1", " Input 1"}, Row{" 2", " Input 2"},         Row{" 3", " Input 3"},
    Row{" 4", " Wired"},   Row{" 5", " Wireless/Viewer"},
};

constexpr std::array kSettingRows{
    Row{" 1 1", " Normally"},
    Row{" 1 0", " Top/Bottom reversal"},
    Row{" 0 1", " Left/Right reversal"},
    Row{" 0 0", " Top/Bottom , Left/Right reversal"},
};

constexpr std::array kLampStatusRows{
    Row{" 0 0 0   1 I", " Lamp is ON"},
    Row{" 0 0 0   1 O", " Lamp is OFF"},
    Row{" 0 0 0   1 X", " Lamp is failure"},
};

constexpr std::array kLampModeRows{
    Row{" 0 0 0   H I G H", " Lamp Mode is High"},
    Row{" 0 0 0   N O R M A L", " Lamp Mode is NORMAL"},
    Row{" 0 0 0   E C O", " Lamp Mode is Eco"},
};

// Position 8 of a lamp trace stands for the reply's separator character.
constexpr qsizetype kSeparatorIndex = 7;
constexpr qsizetype kCrTailLength = 7; // last character's blank and " [CR] "
constexpr qsizetype kLampTimeBuffer = 6;
constexpr qsizetype kTemperatureBuffer = 18;

template <std::size_t N>
std::optional<QString> lookupPrefix(const std::array<Row, N>& rows, QStringView trace,
                                    qsizetype width) {
    const QStringView head = trace.first(std::min(width, trace.size()));
    for (const auto& [pattern, text] : rows) {
        if (head == pattern)
            return QString(text);
    }
    return std::nullopt;
}

bool matchesWithSeparator(QStringView part, QLatin1StringView pattern) {
    if (part.size() != pattern.size())
        return false;
    for (qsizetype i = 0; i < part.size(); ++i) {
        if (i != kSeparatorIndex && part[i] != QLatin1Char(pattern[i]))
            return false;
    }
    return true;
}

template <std::size_t N>
std::optional<QString> lookupLamp(const std::array<Row, N>& rows, QStringView part) {
    for (const auto& [pattern, text] : rows) {
        if (matchesWithSeparator(part, pattern))
            return QString(text);
    }
    return std::nullopt;
}

// The trace of five digits and CR: " d d d d d  [CR] ".
bool fiveDigitsAndCr(QStringView trace) {
    constexpr QLatin1StringView kTail("  [CR] ");
    if (trace.size() != 10 + kTail.size() || !trace.endsWith(kTail))
        return false;
    for (qsizetype i = 0; i < 10; i += 2) {
        if (trace[i] != QLatin1Char(' ') || !trace[i + 1].isDigit())
            return false;
    }
    return true;
}

// Leading zeros become blanks, later zeros and the blanks of the trace stay.
// Of five digits the last is always shown, so that 00000 reads as 0.
QString lampHours(QStringView trace) {
    const qsizetype n = trace.size() - 5;
    // 0-based index of the fifth digit, where there are five.
    const qsizetype lastDigit = fiveDigitsAndCr(trace) ? n - 3 : -1;
    QString text;
    bool digitSeen = false;
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = trace[i];
        if (c == QLatin1Char(' ') && !digitSeen) {
            text += QLatin1Char(' ');
        } else if (c == QLatin1Char('0') && !digitSeen && i != lastDigit) {
            text += QLatin1Char(' ');
        } else {
            text += c;
            digitSeen = true;
        }
    }
    return text + QLatin1String(" Hour Use");
}

QString temperatures(QStringView trace) {
    const auto slice = [&](qsizetype from, qsizetype length) {
        return from < trace.size() ? trace.sliced(from, std::min(length, trace.size() - from))
                                   : QStringView();
    };
    const QLatin1StringView unit(" deg C ");
    QString text;
    text.append(slice(0, 10)).append(unit).append(slice(13, 9)).append(unit);
    text.append(slice(25, 9)).append(unit);
    return text;
}

std::optional<QString> decodePower(QStringView trace, qsizetype) {
    return lookupPrefix(kPowerRows, trace, 4);
}
std::optional<QString> decodeInput(QStringView trace, qsizetype) {
    return lookupPrefix(kInputRows, trace, 2);
}
std::optional<QString> decodeSetting(QStringView trace, qsizetype) {
    return lookupPrefix(kSettingRows, trace, 4);
}
std::optional<QString> decodeLampTime(QStringView trace, qsizetype bufferLength) {
    if (bufferLength != kLampTimeBuffer)
        return std::nullopt;
    return lampHours(trace);
}
std::optional<QString> decodeTemperature(QStringView trace, qsizetype bufferLength) {
    if (bufferLength != kTemperatureBuffer)
        return std::nullopt;
    return temperatures(trace);
}
std::optional<QString> decodeLampStatus(QStringView trace, qsizetype) {
    return lookupLamp(kLampStatusRows, trace.first(std::min<qsizetype>(12, trace.size())));
}
std::optional<QString> decodeLampMode(QStringView trace, qsizetype) {
    if (trace.size() < kCrTailLength)
        return std::nullopt;
    return lookupLamp(kLampModeRows, trace.first(trace.size() - kCrTailLength));
}

struct StatusRead {
    QLatin1StringView command;
    std::optional<QString> (*decode)(QStringView trace, qsizetype bufferLength);
    qsizetype replyLength; // with its CR; 0 where the words differ in length
};

// In the order the decoders run; at most one matches a command.
constexpr std::array kStatusReads{
    StatusRead{QLatin1StringView("CR0"), decodePower, 3},
    StatusRead{QLatin1StringView("CR1"), decodeInput, 2},
    StatusRead{QLatin1StringView("CR4"), decodeSetting, 3},
    StatusRead{QLatin1StringView("CR3"), decodeLampTime, kLampTimeBuffer},
    StatusRead{QLatin1StringView("CR6"), decodeTemperature, kTemperatureBuffer},
    StatusRead{QLatin1StringView("CR LAMPSTS"), decodeLampStatus, 7},
    StatusRead{QLatin1StringView("CR LAMPMODE"), decodeLampMode, 0},
};

const StatusRead* findRead(QStringView curCmd) {
    for (const StatusRead& read : kStatusReads) {
        if (curCmd.size() == read.command.size() + 1 && curCmd.startsWith(read.command) &&
            curCmd.back() == kCr)
            return &read;
    }
    return nullptr;
}

} // namespace

std::optional<QString> decodeStatus(QStringView curCmd, QStringView trace, qsizetype bufferLength) {
    const StatusRead* read = findRead(curCmd);
    return read ? read->decode(trace, bufferLength) : std::nullopt;
}

std::optional<qsizetype> statusReplyLength(QStringView curCmd) {
    const StatusRead* read = findRead(curCmd);
    if (!read || read->replyLength == 0)
        return std::nullopt;
    return read->replyLength;
}

bool isStatusRead(QStringView curCmd) {
    return findRead(curCmd) != nullptr;
}

} // namespace kavo
