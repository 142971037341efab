#include "hold_button.h"

#include <QMouseEvent>

namespace kavo {

void HoldButton::mousePressEvent(QMouseEvent* event) {
    event->accept();
    // The first send goes out before the pressed look is drawn: setDown
    // repaints at once.
    emit mouseDown();
    setDown(true);
    if (focusPolicy() & Qt::ClickFocus)
        setFocus(Qt::MouseFocusReason);
}

void HoldButton::mouseReleaseEvent(QMouseEvent* event) {
    event->accept();
    if (event->buttons() == Qt::NoButton)
        setDown(false);
    emit mouseUp();
}

void HoldButton::mouseMoveEvent(QMouseEvent* event) {
    // Stays pressed while held, wherever the pointer goes.
    event->accept();
}

} // namespace kavo
