#pragma once

#include <chrono>
#include <QtGlobal>

namespace kavo::sim {

using std::chrono::milliseconds;

// Power transitions: long enough to read "Count down" and "Cooling down" on the panel.
inline constexpr milliseconds kDefaultWarmUp{5000};
inline constexpr milliseconds kDefaultCoolDown{5000};
// One lamp hour lasts an hour unless a demonstration speeds the clock up.
inline constexpr milliseconds kDefaultLampHour{3600000};
inline constexpr int kDefaultLampHours = 1537;
inline constexpr int kMaxLampHours = 99999; // five digits on the wire
// How quickly the temperatures follow the lamp: 63 % of the way in this time.
inline constexpr milliseconds kThermalTimeConstant{30000};

// The longest catalogue command is some thirty characters; anything far longer
// is garbage and is dropped rather than kept.
inline constexpr qsizetype kMaxCommandLength = 128;

// Fault injection.
inline constexpr milliseconds kDefaultSplitGap{50};
inline constexpr milliseconds kFloodTick{20};
// Reply pieces waiting for their time; more are not taken on.
inline constexpr qsizetype kMaxPendingPieces = 4096;

} // namespace kavo::sim
