#pragma once

#include <QString>

namespace kavo {

inline const QString kForm1Caption = QStringLiteral("KAVO   QV-TN310 QV-TN320  CONTROL  Ver.2.0");
// Outer window heights in twips, title bar and borders included.
inline constexpr int kCompactHeightTwips = 5780;
inline constexpr int kExtendedHeightTwips = 8100;
inline constexpr int kClientWidthTwips = 10380;
inline constexpr int kAbovePlacementTwips = 1350;

} // namespace kavo
