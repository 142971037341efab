#pragma once

// The one-command-at-a-time exchange with the projector: the main window's
// send-and-display routine Hyouji, its receive handler and the two one-shot
// timers that frame each exchange (Timer2: reply window, Timer4: display
// clear). The engine keeps what the trace, reply and status lines show; the
// window mirrors it whenever it changes.

#include "app_values.h"
#include "serial_port.h"
#include "settings_store.h"
#include "timer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <QString>

namespace kavo {

struct LinkDisplay {
    QString txd;              // Label11: trace of the last sent command
    QString rxd;              // Label12: trace of the reply
    QString status;           // Label25: decoded status text
    bool legendSpace = false; // Label27
    bool legendCr = false;    // Label28
    bool legendAck = false;   // Label29
    QString notice;           // plain-words note about the line (lost, back)
};

class TransactionEngine {
  public:
    enum class StartUp { Opened, NeedsPortDialog };

    TransactionEngine(AppValues& values, SerialPort& port, TimerFactory& timers,
                      SettingsStore& store);

    // Start-up from reading the stored settings to resetting the exchange
    // variables; the window does its own sizing and placement around it.
    StartUp startUp();

    // Mode 1 sends text; any other mode shows text as received data.
    void Hyouji(const QString& text, std::uint8_t mode);
    void MSComm1_OnComm(CommEvent event);
    void Timer2_Timer();
    void Timer4_Timer();
    void Form_QueryUnload();

    // The operator took the port in hand ("COM"): no silent reopening any more.
    void forgetLostLine();
    // Empties both trace lines (the end of a hold does this).
    void clearTraceLines();
    void emptyRxBuf() { m_rxBuf.clear(); }

    Timer& Timer2() { return *m_timer2; }
    Timer& Timer4() { return *m_timer4; }
    AppValues& values() { return m_values; }

    const LinkDisplay& display() const { return m_display; }

    void setDisplayChangedHandler(std::function<void()> handler) {
        m_displayChanged = std::move(handler);
    }

  private:
    void changed();
    void reopenLostLine();
    void applyLegends(bool space, bool cr, bool ack);

    AppValues& m_values;
    SerialPort& m_port;
    SettingsStore& m_store;
    std::unique_ptr<Timer> m_timer2;
    std::unique_ptr<Timer> m_timer4;
    QString m_rxBuf;
    std::uint8_t m_rxWait = 0;
    bool m_lineLost = false;
    QString m_lostDevice; // the device the port used when it was lost
    LinkDisplay m_display;
    std::function<void()> m_displayChanged;
};

} // namespace kavo
