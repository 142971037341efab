#include "command_button.h"

#include "focus_ring.h"

namespace kavo {

namespace {

// Suppresses the synchronous repaints while the base class handles the
// event; re-enabling updates schedules one ordinary repaint.
class DeferredRepaint {
  public:
    explicit DeferredRepaint(QWidget* widget) : m_widget(widget), m_was(widget->updatesEnabled()) {
        m_widget->setUpdatesEnabled(false);
    }
    ~DeferredRepaint() { m_widget->setUpdatesEnabled(m_was); }
    DeferredRepaint(const DeferredRepaint&) = delete;
    DeferredRepaint& operator=(const DeferredRepaint&) = delete;

  private:
    QWidget* m_widget;
    bool m_was;
};

} // namespace

void CommandButton::mouseReleaseEvent(QMouseEvent* event) {
    DeferredRepaint deferred(this);
    QPushButton::mouseReleaseEvent(event);
}

void CommandButton::keyReleaseEvent(QKeyEvent* event) {
    DeferredRepaint deferred(this);
    QPushButton::keyReleaseEvent(event);
}

void CommandButton::paintEvent(QPaintEvent* event) {
    QPushButton::paintEvent(event);
    paintFocusRing(this);
}

} // namespace kavo
