#include "application.h"

#include "form1.h"
#include "form3.h"
#include "port_dialog.h"
#include "port_factory.h"
#include "qt_message_box.h"
#include "qt_platform.h"

#include <QApplication>
#include <QGroupBox>

namespace kavo {

Application::Application(Platform platform)
    : m_session(platform.port, platform.timers, platform.store),
      m_form1(std::make_unique<Form1>(m_session)),
      m_portDialog(std::make_unique<PortDialog>(m_session, platform.messages, platform.network,
                                                m_form1.get())) {
    m_form1->showPortDialogModal = [this] { m_portDialog->showModal(); };
    m_form1->showPortDialogFromPanel = [this] { m_portDialog->showFromPanel(); };
    m_session.logic().openConsole = [this] { openConsole(); };
}

Application::~Application() {
    // Dialogs go before the window whose port and engine they use.
    m_portDialog.reset();
    delete m_console.data();
}

void Application::start() {
    m_form1->Form_Load();
    m_form1->show();
}

void Application::openConsole() {
    // Created when shown; while open it is only brought forward, not reloaded.
    if (!m_console) {
        m_console = new Form3(
            m_session,
            [this] {
                m_form1->show();
                m_session.logic().setStatusFrameVisible(true);
            },
            m_form1.get());
        m_console->placeOver(m_form1.get());
    }
    m_console->show();
    m_console->raise();
    m_console->activateWindow();
}

int runApplication(QApplication& app) {
    // The panel's colours are button palette colours, which the native Windows
    // style ignores: every platform draws with Fusion, as Linux does anyway.
    QApplication::setStyle(QStringLiteral("Fusion"));
#ifdef Q_OS_WIN
    NetworkPorts& network = linkedNetworkPorts();
#else
    NetworkPorts& network = loadedNetworkPorts();
#endif
    QtPortFactory ports(network);
    PortByNumber port(ports);
    QtSettingsStore store;
    QtTimerFactory timers;
    QtMessageBox messages;
    Application application({port, store, timers, messages, network});
    messages.setParent(&application.form1());
    application.start();
    return app.exec();
}

} // namespace kavo
