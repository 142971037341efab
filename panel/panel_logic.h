#pragma once

// What the panel's buttons and keys do, without widgets: single-shot sends,
// the press-and-hold repeat of the arrow buttons (Timer1) and the Ctrl+H
// height toggle decision.

#include "transaction_engine.h"

#include <functional>

namespace kavo {

inline constexpr int kSizeToggleThresholdTwips = 7000;

class PanelLogic {
  public:
    explicit PanelLogic(TransactionEngine& engine);

    // Single-shot command button N: Cur_cmd := its command + CR, then send.
    void Command_Click(int number);
    // Press and release on arrow button N (any mouse button, any modifiers).
    void Command_MouseDown(int number);
    void Command_MouseUp(int number);

    void Cont_M_down();
    void Cont_M_up();
    void Timer1_Timer();

    // "COMMANDTABLE": hides the status frame and lengthens the reply window and
    // display clear; the window then shows the console through openConsole.
    void Command74_Click();

    // Key-down with modifiers as 1 Shift, 2 Ctrl, 4 Alt: the new outer height in
    // twips for Ctrl+H, or 0 when the key does nothing.
    static int Form_KeyDown(int keyCode, int shift, int outerHeightTwips);

    std::function<void(bool)> setStatusFrameVisible;
    std::function<void()> openConsole;

  private:
    TransactionEngine& m_engine;
};

} // namespace kavo
