#pragma once

// A panel button that puts its command on the line before it draws itself.
// QAbstractButton repaints a button synchronously on press and release, before
// it emits clicked; on a slow display that repaint costs more than the whole
// command takes on the wire. Here the repaint of a release is deferred to the
// next pass of the event loop, after the clicked handlers have run. The
// keyboard focus shows as a ring that stands out on every button colour.

#include <QPushButton>

namespace kavo {

class CommandButton : public QPushButton {
    Q_OBJECT
  public:
    using QPushButton::QPushButton;

  protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};

} // namespace kavo
