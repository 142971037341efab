#pragma once

// Designed rectangles filled with a desktop's faces, which are wider and
// taller than the design's: captions in a bold face at their designed size,
// smaller only where a caption would not fit its button; and the part of a
// frame its controls may take.

#include <QFont>
#include <QRect>

class QAbstractButton;
class QGroupBox;

namespace kavo {

// The font at the largest quarter-point size up to its own at which `text`
// is at most `room` pixels wide, 5 points at least.
QFont fittingWidth(QFont font, const QString& text, int room);

// Sets the button's font bold at the largest quarter-point size up to
// `points` at which its caption fits (3 pixels a side), 5 points at least.
void fitCaption(QAbstractButton* button, double points);

// Inside the frame's border and below its caption, in its own coordinates.
QRect frameInside(const QGroupBox* frame);

} // namespace kavo
