#include "hold_button.h"

#include "focus_ring.h"

#include <QAccessibleWidget>
#include <QMouseEvent>

namespace kavo {
namespace {

// Qt's own interface for a button presses it with a click, which an arrow
// does not act on: this one offers the press that an arrow does act on.
class HoldButtonAccessible final : public QAccessibleWidget {
  public:
    explicit HoldButtonAccessible(HoldButton* button)
        : QAccessibleWidget(button, QAccessible::Button) {}

    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.pressed = button()->isDown();
        return state;
    }
    QStringList actionNames() const override {
        return QStringList(pressAction()) + QAccessibleWidget::actionNames();
    }
    void doAction(const QString& action) override {
        if (action == pressAction())
            button()->pressOnce();
        else
            QAccessibleWidget::doAction(action);
    }

  private:
    HoldButton* button() const { return static_cast<HoldButton*>(widget()); }
};

QAccessibleInterface* accessibleHoldButton(const QString& className, QObject* object) {
    if (className == QLatin1String(HoldButton::staticMetaObject.className()))
        return new HoldButtonAccessible(static_cast<HoldButton*>(object));
    return nullptr;
}

} // namespace

HoldButton::HoldButton(QWidget* parent) : QPushButton(parent) {
    static const bool installed = (QAccessible::installFactory(accessibleHoldButton), true);
    Q_UNUSED(installed);
}

void HoldButton::pressOnce() {
    emit mouseDown();
    emit mouseUp();
}

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

void HoldButton::paintEvent(QPaintEvent* event) {
    QPushButton::paintEvent(event);
    paintFocusRing(this);
}

} // namespace kavo
