#pragma once

// Designed geometry in twips, placed as widgets in pixels.

#include "twips_pixels.h"

#include <QRect>
#include <QWidget>

namespace kavo {

inline QRect twipsRect(int left, int top, int width, int height) {
    return {twipsToPixels(left), twipsToPixels(top), twipsToPixels(width), twipsToPixels(height)};
}

inline void placeTwips(QWidget* widget, int left, int top, int width, int height) {
    widget->setGeometry(twipsRect(left, top, width, height));
}

} // namespace kavo
