#pragma once

// The keyboard focus on a panel button: a black ring with a white line inside
// it along the button's edge, plain on every button colour and in any style.

class QWidget;

namespace kavo {

// Paints the ring over `button` when it has the focus; call at the end of
// its paint event.
void paintFocusRing(QWidget* button);

} // namespace kavo
