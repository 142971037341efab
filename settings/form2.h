#pragma once

// The port settings dialog: the operator chooses the port number and baud
// rate; the session's port choice opens the panel's port with them and, only
// when it opened, stores both per user.

#include "message_box.h"
#include "network_ports.h"
#include "panel_session.h"

#include <array>
#include <functional>
#include <QDialog>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace kavo {

inline const QString kForm2Caption = QStringLiteral("  COM PORT");
inline const QString kRetryText = QStringLiteral("Retry Comport");
inline const QString kRetryTitle = QStringLiteral("Error");

class Form2 : public QDialog {
    Q_OBJECT
  public:
    // Loads at once; showMainWindow is called after a successful "OK" or "Cancel".
    // `network` answers whether a network port's host is known, for the tooltips.
    Form2(PanelSession& session, MessageBox& messages, NetworkPorts& network,
          std::function<void()> showMainWindow, QWidget* parent = nullptr);

    void Form_Load();
    void Option1_Click();
    void Option2_Click();
    void Text1_Change();
    void Command1_Click();
    void Command2_Click();

  private:
    QGroupBox* Frame1 = nullptr;
    QGroupBox* Frame2 = nullptr;
    QRadioButton* Option1 = nullptr;
    QRadioButton* Option2 = nullptr;
    std::array<QRadioButton*, 5> portOptions{}; // Option3..Option7: "COM1".."COM5"
    QLineEdit* Text1 = nullptr;
    QLabel* Label1 = nullptr;
    QPushButton* Command1 = nullptr;
    QPushButton* Command2 = nullptr;

    void build();
    void selectBaudOption(bool nineSixHundred);
    void retry(const QString& reason = {});
    void refreshOtherTooltip();

    AppValues& m_values;
    PortChoice& m_choice;
    MessageBox& m_messages;
    NetworkPorts& m_network;
    std::function<void()> m_showMainWindow;
};

} // namespace kavo
