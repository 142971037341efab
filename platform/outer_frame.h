#pragma once

// A fixed-size top-level window kept at an outer height (title bar and
// borders included) and placed by its outer frame. A window manager adds the
// frame when it first maps the window and says how thick it is only then; on
// X11 the frame's size is asked for before the window is first shown, so it
// maps at its right size, and wherever the frame becomes known (or changes)
// later, the height and a pending placement are applied again.

#include <QMargins>
#include <QObject>
#include <QPointer>
#include <QWidget>

namespace kavo {

class OuterFrame final : public QObject {
  public:
    explicit OuterFrame(QWidget* window);

    // In pixels; the height the window shows or will show once framed.
    int outerHeight() const;
    void setOuterHeight(int pixels);

    // Outer frame centred across the screen and `abovePixels` above the
    // centred position. Applied again once, if the frame turns out other
    // than it was taken to be.
    void placeAboveCentre(int abovePixels);
    // Outer frame centred over `other`'s, kept on the screen as far as it
    // fits there. Applied again once, like the placement above.
    void placeCentredOver(const QWidget* other);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void learnMargins();
    void applyHeight();
    void applyPlacement();

    QWidget* m_window;
    int m_outerHeight = 0;
    int m_abovePixels = 0;
    QPointer<const QWidget> m_over; // centred over it, when set
    bool m_placementPending = false;
    bool m_askedBeforeShow = false;
    bool m_watchingHandle = false;
    QMargins m_margins;
};

// Asks the window manager for the frame it will put around `window` before
// the window is mapped, waiting a few milliseconds at most for the answer.
// Empty where the window system cannot tell in advance.
QMargins askFrameMarginsBeforeShow(QWidget* window);

} // namespace kavo
