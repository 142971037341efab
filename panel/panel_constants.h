#pragma once

#include <QString>

namespace kavo {

inline const QString kForm1Caption = QStringLiteral("KAVO   QV-TN310 QV-TN320  CONTROL  Ver.2.0");
inline constexpr int kClientWidthTwips = 10380;
inline constexpr int kAbovePlacementTwips = 1350;

} // namespace kavo
