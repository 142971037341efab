#pragma once

// What the panel's buttons and keys do, without widgets: single-shot sends,
// the press-and-hold repeat of the arrow buttons (Timer1, Cont_code,
// Cont_flag) and the Ctrl+H height toggle decision.

#include "transaction_engine.h"

#include <functional>
#include <memory>

namespace kavo {

// Outer window heights in twips, title bar and borders included.
inline constexpr int kCompactHeightTwips = 5780;
inline constexpr int kExtendedHeightTwips = 8100;
inline constexpr int kSizeToggleThresholdTwips = 7000;

class PanelLogic {
  public:
    // Timer1 is the window's first timer, created before the engine's.
    PanelLogic(TransactionEngine& engine, std::unique_ptr<Timer> timer1);

    // Start-up: no hold in progress.
    void resetHold();

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

    Timer& Timer1() { return *m_timer1; }
    // The arrow held (its repeat code) and whether a hold is in progress.
    std::uint8_t Cont_code = 0;
    std::int16_t Cont_flag = 0;

    std::function<void(bool)> setStatusFrameVisible;
    std::function<void()> openConsole;

  private:
    TransactionEngine& m_engine;
    std::unique_ptr<Timer> m_timer1;
};

} // namespace kavo
