#include "port_dialog.h"

#include <QWidget>

namespace kavo {

PortDialog::PortDialog(PanelSession& session, MessageBox& messages, NetworkPorts& network,
                       QWidget* mainWindow)
    : m_session(session), m_messages(messages), m_network(network), m_mainWindow(mainWindow) {}

PortDialog::~PortDialog() {
    delete m_dialog.data();
}

Form2* PortDialog::create() {
    if (!m_dialog) {
        m_dialog = new Form2(
            m_session, m_messages, m_network,
            [this] {
                if (m_mainWindow)
                    m_mainWindow->show();
            },
            m_mainWindow);
        m_dialog->setAttribute(Qt::WA_DeleteOnClose);
    }
    return m_dialog;
}

void PortDialog::showModal() {
    Form2* dialog = create();
    dialog->setModal(true);
    dialog->exec();
}

void PortDialog::showFromPanel() {
    m_session.portChoice().beginChange();
    Form2* dialog = create();
    dialog->setModal(false);
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
}

} // namespace kavo
