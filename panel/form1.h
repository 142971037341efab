#pragma once

// The operator's panel. The session below it holds the exchange and the
// button logic; this window lays out the controls from the button map, passes
// clicks and keys on, and mirrors what the engine shows.

#include "panel_constants.h"
#include "panel_session.h"

#include <functional>
#include <map>
#include <QWidget>
#include <vector>

class QGroupBox;
class QLabel;
class QPushButton;

namespace kavo {

class OuterFrame;
class ReadoutLine;

class Form1 : public QWidget {
    Q_OBJECT
  public:
    explicit Form1(PanelSession& session, QWidget* parent = nullptr);
    ~Form1() override;

    // Start-up; shows the port settings dialog through showPortDialogModal
    // when no usable port is stored or the stored one does not open.
    void Form_Load();
    void Hyouji(const QString& text, std::uint8_t mode) { m_session.engine().Hyouji(text, mode); }
    void Form_QueryUnload() { m_session.engine().Form_QueryUnload(); }

    void Command16_Click(); // "END"
    void Command33_Click(); // "COM"
    void Command74_Click(); // "COMMANDTABLE"
    // Ctrl+H: toggles between the compact and the extended height.
    void Form_KeyDown(int keyCode, int shift);

    // Outer height (title bar and borders included where known), in twips.
    int outerHeightTwips() const;
    void setOuterHeightTwips(int twips);

    std::function<void()> showPortDialogModal;
    std::function<void()> showPortDialogFromPanel;
    std::function<void()> endProgram;

    // The first show fits the captions and lines to their places.
    void setVisible(bool visible) override;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    void buildFrames();
    void buildButtons();
    void buildDisplayAreas();
    void placeAboveCentre();
    void mirrorDisplay();
    void endHoldIfAny();
    void fitWhenShown(std::function<void()> fit) { m_fitWhenShown.push_back(std::move(fit)); }

    PanelSession& m_session;
    std::map<int, QPushButton*> m_buttons;
    std::map<int, QGroupBox*> m_frames;
    OuterFrame* m_outerFrame; // owned as a child
    QGroupBox* Frame9 = nullptr;
    QGroupBox* Frame15 = nullptr;
    QLabel* Label9 = nullptr;
    QLabel* Label10 = nullptr;
    ReadoutLine* Label11 = nullptr;
    ReadoutLine* Label12 = nullptr;
    ReadoutLine* Label25 = nullptr;
    QLabel* Label26 = nullptr;
    QLabel* Label27 = nullptr;
    QLabel* Label28 = nullptr;
    QLabel* Label29 = nullptr;
    // Font fitting that waits for the first show.
    std::vector<std::function<void()>> m_fitWhenShown;
};

} // namespace kavo
