#include "widget_fit.h"

#include <algorithm>
#include <cmath>
#include <QAbstractButton>
#include <QGroupBox>
#include <QStyleOptionGroupBox>

namespace kavo {

QFont fittingWidth(QFont font, const QString& text, int room) {
    const double points = font.pointSizeF();
    const int wide = QFontMetrics(font).horizontalAdvance(text);
    if (wide <= room)
        return font;
    // Every size tried costs a font match: start from the size at which the
    // text fits if its width scales with the size, then settle on the
    // largest quarter-point size that fits.
    constexpr double kStep = 0.25, kSmallest = 5.0;
    const auto fits = [&](double size) {
        font.setPointSizeF(size);
        return QFontMetrics(font).horizontalAdvance(text) <= room;
    };
    double size = std::floor(points * room / wide / kStep) * kStep;
    size = std::clamp(size, kSmallest, points - kStep);
    if (fits(size)) {
        while (size + kStep < points && fits(size + kStep))
            size += kStep;
    } else {
        while (size > kSmallest && !fits(size - kStep))
            size -= kStep;
        size = std::max(kSmallest, size - kStep);
    }
    font.setPointSizeF(size);
    return font;
}

void fitCaption(QAbstractButton* button, double points) {
    QFont font = button->font();
    font.setBold(true);
    font.setPointSizeF(points);
    button->setFont(fittingWidth(font, button->text(), button->width() - 6));
}

QRect frameInside(const QGroupBox* frame) {
    QRect inside = frame->rect().adjusted(1, 1, -1, -1);
    if (frame->title().isEmpty())
        return inside;
    QStyleOptionGroupBox option;
    option.initFrom(frame);
    option.text = frame->title();
    option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    const QRect caption = frame->style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                         QStyle::SC_GroupBoxLabel, frame);
    inside.setTop(std::max(inside.top(), caption.bottom() + 1));
    return inside;
}

} // namespace kavo
