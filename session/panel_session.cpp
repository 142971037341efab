#include "panel_session.h"

#include "line_constants.h"

namespace kavo {

PanelSession::PanelSession(SerialPort& port, TimerFactory& timers, SettingsStore& store)
    : m_port(port), m_store(store), m_timer1(timers.createTimer()),
      m_engine(m_values, port, timers, store), m_logic(m_engine, std::move(m_timer1)) {}

TransactionEngine::StartUp PanelSession::startUp() {
    const TransactionEngine::StartUp outcome = m_engine.startUp();
    if (outcome == TransactionEngine::StartUp::Opened)
        m_logic.resetHold();
    return outcome;
}

void PanelSession::consoleClosed() {
    m_engine.Timer2().setInterval(kConsoleClosedReplyWindow);
    m_engine.Timer4().setInterval(kConsoleClosedDisplayClear);
}

} // namespace kavo
