#pragma once

// An arrow button: reports every mouse press and release (any mouse button,
// any modifiers) and has no click action, so the keyboard sends nothing. The
// press grabs the pointer, so the release arrives wherever the pointer is.
// A screen reader or switch device presses it through its accessible "press"
// action: one press and release at once, as one short click.

#include <QPushButton>

namespace kavo {

class HoldButton : public QPushButton {
    Q_OBJECT
  public:
    explicit HoldButton(QWidget* parent = nullptr);

    // The accessible "press" action: a press at once followed by its release.
    void pressOnce();

  signals:
    void mouseDown();
    void mouseUp();

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};

} // namespace kavo
