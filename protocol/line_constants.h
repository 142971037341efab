#pragma once

// The constants of the line to the projector: its two control characters,
// the receive buffer's size and the windows that frame every exchange.

#include <chrono>
#include <QChar>

namespace kavo {

using std::chrono::milliseconds;

// Every command ends with CR; a reply ends with CR, or is a lone ACK.
inline constexpr char kCrByte = 0x0D;
inline constexpr char kAckByte = 0x06;
inline constexpr QChar kCr{kCrByte};
inline constexpr QChar kAck{kAckByte};

// Reply window (Timer2) and display clear (Timer4) intervals, by who sets them.
inline constexpr milliseconds kCreationReplyWindow{5500};
inline constexpr milliseconds kCreationDisplayClear{6000};
inline constexpr milliseconds kStartUpReplyWindow{1000};
inline constexpr milliseconds kStartUpDisplayClear{1200};
inline constexpr milliseconds kHoldReplyWindow{150};
inline constexpr milliseconds kHoldDisplayClear{200};
inline constexpr milliseconds kAfterHoldReplyWindow{500};
inline constexpr milliseconds kAfterHoldDisplayClear{1000};
inline constexpr milliseconds kConsoleReplyWindow{5000};
inline constexpr milliseconds kConsoleDisplayClear{5500};
inline constexpr milliseconds kConsoleClosedReplyWindow{1000};
inline constexpr milliseconds kConsoleClosedDisplayClear{1200};
// Repeat timer: designed interval, and the one every press sets.
inline constexpr milliseconds kRepeatDesigned{200};
inline constexpr milliseconds kRepeatInterval{100};

// The receive buffer never grows past this; more is dropped until it is emptied.
inline constexpr qsizetype kRxBufCapacity = 32767;

} // namespace kavo
