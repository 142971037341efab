#pragma once

// Line settings, their stored form and the shape of a command line.

#include "line_constants.h"

#include <cstdint>
#include <optional>
#include <QString>
#include <QStringView>

namespace kavo {

inline constexpr std::uint8_t kBaud9600 = 96;
inline constexpr std::uint8_t kBaud19200 = 192;
inline constexpr int kLowestPort = 1;
inline constexpr int kHighestPort = 15;

inline const QString kStoreApplication = QStringLiteral("KAVO");
inline const QString kStoreSection = QStringLiteral("StartUP");
inline const QString kStoreComPort = QStringLiteral("ComPort");
inline const QString kStoreBaudRate = QStringLiteral("BaudRate");
inline const QString kComPortDefault = QStringLiteral("DATAC");
inline const QString kBaudRateDefault = QStringLiteral("DATAb");

// "9600,N,8,1" for code 96, "19200,N,8,1" for any other code.
QString settingsText(std::uint8_t baudCode);

// The decimal number at the start of a text: leading blanks skipped, optional
// sign, digits, decimal point, exponent; reading stops at the first character
// that cannot continue the number. No number at the start reads as 0.
double readLeadingNumber(QStringView text);

// Nearest whole number, halves to the even neighbour; nullopt when the result
// does not fit in the range.
std::optional<std::int64_t> roundHalfEven(double value, std::int64_t lowest, std::int64_t highest);

// The stored port number as a signed 16-bit value, 0 when none is usable
// (outside 1..15, not a number, or out of 16-bit range).
std::int16_t storedPortNumber(QStringView text);

// The stored baud-rate code after the settings choice: 96 or 192.
std::uint8_t storedBaudCode(QStringView text);

bool isUsablePort(int number);

// A whole number in low..high written with digits only (as an option's
// value), else nullopt.
std::optional<int> wholeNumber(QStringView text, int low, int high);

// The command text with its one terminating carriage return.
QString commandLine(QStringView command);

} // namespace kavo
