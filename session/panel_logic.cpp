#include "panel_logic.h"

#include "button_map.h"
#include "line_constants.h"
#include "line_settings.h"

namespace kavo {
namespace {

QString commandOf(std::string_view command) {
    return commandLine(QString::fromLatin1(command.data(), qsizetype(command.size())));
}

constexpr int kShiftMask = 7;
constexpr int kCtrlOnly = 2;
constexpr int kKeyH = 72;

} // namespace

PanelLogic::PanelLogic(TransactionEngine& engine, std::unique_ptr<Timer> timer1)
    : m_engine(engine), m_timer1(std::move(timer1)) {
    m_timer1->setInterval(kRepeatDesigned);
    m_timer1->setTickHandler([this] { Timer1_Timer(); });
}

void PanelLogic::resetHold() {
    Cont_code = 0;
    Cont_flag = 0;
}

void PanelLogic::Command_Click(int number) {
    const panel::ButtonEntry* entry = panel::findButton(number);
    if (!entry || entry->kind != panel::Kind::Click)
        return;
    m_engine.values().Cur_cmd = commandOf(entry->command);
    m_engine.Hyouji(m_engine.values().Cur_cmd, 1);
}

void PanelLogic::Command_MouseDown(int number) {
    const panel::ButtonEntry* entry = panel::findButton(number);
    if (!entry || entry->kind != panel::Kind::Hold)
        return;
    if (Cont_flag != 0)
        return;
    Cont_flag = 1;
    Cont_code = static_cast<std::uint8_t>(entry->repeatCode);
    m_engine.values().Cur_cmd = commandOf(entry->command);
    Cont_M_down();
}

void PanelLogic::Command_MouseUp(int number) {
    const panel::ButtonEntry* entry = panel::findButton(number);
    if (!entry || entry->kind != panel::Kind::Hold)
        return;
    Cont_M_up();
}

void PanelLogic::Cont_M_down() {
    m_timer1->setInterval(kRepeatInterval);
    m_engine.Timer2().setInterval(kHoldReplyWindow);
    m_engine.Timer4().setInterval(kHoldDisplayClear);
    m_engine.Hyouji(m_engine.values().Cur_cmd, 1);
    m_timer1->setEnabled(true);
}

void PanelLogic::Timer1_Timer() {
    if (Cont_code == 0)
        return;
    m_engine.values().Cur_cmd = commandOf(panel::repeatCommand(Cont_code));
    m_engine.Hyouji(m_engine.values().Cur_cmd, 1);
    m_timer1->setEnabled(true);
}

void PanelLogic::Cont_M_up() {
    Cont_code = 0;
    m_timer1->setEnabled(false);
    m_engine.Timer2().setEnabled(false);
    m_engine.Timer4().setEnabled(true);
    m_engine.clearTraceLines();
    m_engine.Timer2().setInterval(kAfterHoldReplyWindow);
    m_engine.Timer4().setInterval(kAfterHoldDisplayClear);
    m_engine.emptyRxBuf();
    Cont_flag = 0;
}

void PanelLogic::Command74_Click() {
    if (setStatusFrameVisible)
        setStatusFrameVisible(false);
    m_engine.Timer2().setInterval(kConsoleReplyWindow);
    m_engine.Timer4().setInterval(kConsoleDisplayClear);
    if (openConsole)
        openConsole();
}

int PanelLogic::Form_KeyDown(int keyCode, int shift, int outerHeightTwips) {
    if ((shift & kShiftMask) != kCtrlOnly || keyCode != kKeyH)
        return 0;
    return outerHeightTwips >= kSizeToggleThresholdTwips ? kCompactHeightTwips
                                                         : kExtendedHeightTwips;
}

} // namespace kavo
