#pragma once

// An arrow button: reports every mouse press and release (any mouse button,
// any modifiers) and has no click action, so the keyboard sends nothing. The
// press grabs the pointer, so the release arrives wherever the pointer is.

#include <QPushButton>

namespace kavo {

class HoldButton : public QPushButton {
    Q_OBJECT
  public:
    using QPushButton::QPushButton;

  signals:
    void mouseDown();
    void mouseUp();

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
};

} // namespace kavo
