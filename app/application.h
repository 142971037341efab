#pragma once

// Creates the run's session on the platform services and builds the windows
// around it: the main window, the port settings dialog and the command
// console.

#include "form3.h"
#include "message_box.h"
#include "network_ports.h"
#include "panel_session.h"
#include "serial_port.h"
#include "settings_store.h"
#include "timer.h"

#include <memory>
#include <QPointer>

class QApplication;

namespace kavo {

class Form1;
class Form3;
class PortDialog;

struct Platform {
    SerialPort& port;
    SettingsStore& store;
    TimerFactory& timers;
    MessageBox& messages;
    NetworkPorts& network; // the ports on a connection, and host look-ups for tooltips
};

class Application {
  public:
    explicit Application(Platform platform);
    ~Application();

    // Start-up of the main window (showing the port dialog when needed), then
    // the main window itself.
    void start();

    PanelSession& session() { return m_session; }
    Form1& form1() { return *m_form1; }
    PortDialog& portDialog() { return *m_portDialog; }
    Form3* console() const { return m_console; }

  private:
    void openConsole();

    PanelSession m_session;
    std::unique_ptr<Form1> m_form1;
    std::unique_ptr<PortDialog> m_portDialog;
    QPointer<Form3> m_console;
};

// The product: Qt's serial port, settings, timers and message boxes, and the
// network ports loaded when first used.
int runApplication(QApplication& app);

} // namespace kavo
