#pragma once

// Shows the one port settings dialog: modal at start-up, modeless from the
// panel's "COM" button. The dialog is created when shown and destroyed when
// closed, so each showing loads it afresh.

#include "form2.h"

#include <QPointer>

namespace kavo {

class PortDialog {
  public:
    PortDialog(PanelSession& session, MessageBox& messages, NetworkPorts& network,
               QWidget* mainWindow);
    ~PortDialog();

    // Start-up: returns when the dialog has closed ("OK", "Cancel" or its close box).
    void showModal();
    // "COM": close the port if open, remember the working values, show the dialog
    // (bringing an open one forward without reloading it).
    void showFromPanel();

    Form2* dialog() const { return m_dialog; }

  private:
    Form2* create();

    PanelSession& m_session;
    MessageBox& m_messages;
    NetworkPorts& m_network;
    QWidget* m_mainWindow;
    QPointer<Form2> m_dialog;
};

} // namespace kavo
