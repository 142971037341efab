#include "port_dialog.h"

#include <QWidget>

namespace kavo {

PortDialog::PortDialog(AppValues& values, SerialPort& port, SettingsStore& store,
                       MessageBox& messages, QWidget* mainWindow)
    : m_values(values), m_port(port), m_store(store), m_messages(messages),
      m_mainWindow(mainWindow) {}

PortDialog::~PortDialog() {
    delete m_dialog.data();
}

Form2* PortDialog::create() {
    if (!m_dialog) {
        m_dialog = new Form2(
            m_values, m_port, m_store, m_messages,
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
    if (m_port.isOpen())
        m_port.close();
    m_values.Prev_com_port = m_values.Com_port;
    m_values.Prev_baud_code = m_values.Baud_code;
    Form2* dialog = create();
    dialog->setModal(false);
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
}

} // namespace kavo
