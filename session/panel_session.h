#pragma once

// Everything the panel's windows show and act on, below the windows: the
// process-wide values, the exchange with the projector, the logic of the
// buttons and of holding an arrow, and the port choice of the port dialog. The application creates
// the one session of a run; the windows receive it, lay out their controls and show what it holds.

#include "app_values.h"
#include "panel_logic.h"
#include "port_choice.h"
#include "transaction_engine.h"

#include <memory>

namespace kavo {

class PanelSession {
  public:
    PanelSession(SerialPort& port, TimerFactory& timers, SettingsStore& store);
    PanelSession(const PanelSession&) = delete;
    PanelSession& operator=(const PanelSession&) = delete;

    AppValues& values() { return m_values; }
    TransactionEngine& engine() { return m_engine; }
    PanelLogic& logic() { return m_logic; }
    PortChoice& portChoice() { return m_portChoice; }
    SerialPort& port() { return m_port; }
    SettingsStore& store() { return m_store; }

    // The panel's start-up, from reading the stored settings to the reset of
    // the exchange and hold variables.
    TransactionEngine::StartUp startUp();

    // The command console has closed: the reply window and display clear
    // it set ("COMMANDTABLE" sets them for the console) give way to the
    // panel's own.
    void consoleClosed();

  private:
    SerialPort& m_port;
    SettingsStore& m_store;
    AppValues m_values;
    std::unique_ptr<Timer> m_timer1; // created first, then handed to m_logic
    TransactionEngine m_engine;
    PanelLogic m_logic;
    PortChoice m_portChoice{m_values, m_port, m_store};
};

} // namespace kavo
