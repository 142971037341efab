#pragma once

// What the port settings dialog decides, without widgets: the port number
// and baud rate chosen, opening the panel's port with them and storing both
// once it opened, and going back to the port in use before. Every choice is
// written at once into the process-wide values.

#include "app_values.h"
#include "serial_port.h"
#include "settings_store.h"

#include <cstdint>
#include <QString>

namespace kavo {

class PortChoice {
  public:
    PortChoice(AppValues& values, SerialPort& port, SettingsStore& store);

    // "COM" on the panel: the port closes and the values in use are remembered.
    void beginChange();
    // The dialog loads: the port takes the chosen speed; returns whether it is
    // 9600 baud (anything else counts as 19200).
    bool load();

    void chooseBaud(std::uint8_t code) { m_values.Baud_code = code; }
    void choosePort(int number) { m_values.Com_port = static_cast<std::int16_t>(number); }

    // "OK": opens the chosen port at the chosen speed and, once it is open,
    // stores both.
    struct Confirmed {
        bool opened = false;
        bool done = false; // opened and stored
        QString reason;    // why not, for the operator
    };
    Confirmed confirm();

    // "Cancel": back to the port in use before, if there was one.
    struct Restored {
        bool hadPrevious = false;    // the port and speed before are chosen again
        bool nineSixHundred = false; // the speed before, when there was a port
        bool opened = false;
        bool closedOpenPort = false; // no port before: an open one was closed
        QString reason;              // why it did not open, when it did not
    };
    Restored restorePrevious();

  private:
    OpenResult open();

    AppValues& m_values;
    SerialPort& m_port;
    SettingsStore& m_store;
};

} // namespace kavo
