#include "focus_ring.h"

#include <QPainter>
#include <QWidget>

namespace kavo {

void paintFocusRing(QWidget* button) {
    if (!button->hasFocus())
        return;
    QPainter painter(button);
    painter.setBrush(Qt::NoBrush);
    const QRectF edge = QRectF(button->rect());
    // Two pixels of black on the edge, then one of white: one of the two
    // stands out against any colour, light or dark.
    painter.setPen(QPen(Qt::black, 2));
    painter.drawRect(edge.adjusted(1, 1, -1, -1));
    painter.setPen(QPen(Qt::white, 1));
    painter.drawRect(edge.adjusted(2.5, 2.5, -2.5, -2.5));
}

} // namespace kavo
