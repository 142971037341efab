#include "line_settings.h"

#include <cmath>
#include <limits>

namespace kavo {

QString settingsText(std::uint8_t baudCode) {
    return baudCode == kBaud9600 ? QStringLiteral("9600,N,8,1") : QStringLiteral("19200,N,8,1");
}

double readLeadingNumber(QStringView text) {
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && (text[i] == QLatin1Char(' ') || text[i] == QLatin1Char('\t')))
        ++i;
    const qsizetype start = i;
    if (i < n && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-')))
        ++i;
    const auto isDigit = [&](qsizetype k) {
        return k < n && text[k] >= QLatin1Char('0') && text[k] <= QLatin1Char('9');
    };
    bool digits = false;
    while (isDigit(i)) {
        ++i;
        digits = true;
    }
    if (i < n && text[i] == QLatin1Char('.')) {
        ++i;
        while (isDigit(i)) {
            ++i;
            digits = true;
        }
    }
    if (!digits)
        return 0.0;
    qsizetype end = i;
    if (i < n && (text[i] == QLatin1Char('e') || text[i] == QLatin1Char('E'))) {
        qsizetype k = i + 1;
        if (k < n && (text[k] == QLatin1Char('+') || text[k] == QLatin1Char('-')))
            ++k;
        if (isDigit(k)) {
            while (isDigit(k))
                ++k;
            end = k;
        }
    }
    // The slice holds only ASCII digits, sign, point and exponent.
    const QByteArray ascii = text.sliced(start, end - start).toLatin1();
    bool ok = false;
    const double value = ascii.toDouble(&ok);
    if (ok)
        return value;
    // Overflowing exponents come back as not ok; keep the sign of the intent.
    return ascii.startsWith('-') ? -std::numeric_limits<double>::infinity()
                                 : std::numeric_limits<double>::infinity();
}

std::optional<std::int64_t> roundHalfEven(double value, std::int64_t lowest, std::int64_t highest) {
    if (!std::isfinite(value))
        return std::nullopt;
    const double rounded = std::nearbyint(value); // default mode: to nearest, ties to even
    if (rounded < static_cast<double>(lowest) || rounded > static_cast<double>(highest))
        return std::nullopt;
    return static_cast<std::int64_t>(rounded);
}

std::int16_t storedPortNumber(QStringView text) {
    const auto port =
        roundHalfEven(readLeadingNumber(text), std::numeric_limits<std::int16_t>::min(),
                      std::numeric_limits<std::int16_t>::max());
    if (!port || !isUsablePort(static_cast<int>(*port)))
        return 0;
    return static_cast<std::int16_t>(*port);
}

std::uint8_t storedBaudCode(QStringView text) {
    const auto code = roundHalfEven(readLeadingNumber(text), 0, 255);
    return code && *code == kBaud9600 ? kBaud9600 : kBaud19200;
}

bool isUsablePort(int number) {
    return number >= kLowestPort && number <= kHighestPort;
}

QString commandLine(QStringView command) {
    return command.toString() + kCr;
}

std::optional<int> wholeNumber(QStringView text, int low, int high) {
    if (text.isEmpty() || text.size() > 9)
        return std::nullopt;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
    }
    const int value = text.toInt();
    if (value < low || value > high)
        return std::nullopt;
    return value;
}

} // namespace kavo
