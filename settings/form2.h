#pragma once

// The port settings dialog: chooses the port number and baud rate, opens the
// main window's port with them and, only when it opened, stores both per user.
// Every choice is written at once into the process-wide values.

#include "app_values.h"
#include "message_box.h"
#include "serial_port.h"
#include "settings_store.h"

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
    Form2(AppValues& values, SerialPort& port, SettingsStore& store, MessageBox& messages,
          std::function<void()> showMainWindow, QWidget* parent = nullptr);

    void Form_Load();
    void Option1_Click();
    void Option2_Click();
    void Option3_Click() { choosePort(1); }
    void Option4_Click() { choosePort(2); }
    void Option5_Click() { choosePort(3); }
    void Option6_Click() { choosePort(4); }
    void Option7_Click() { choosePort(5); }
    void Text1_Change();
    void Command1_Click();
    void Command2_Click();

    QGroupBox* Frame1 = nullptr;
    QGroupBox* Frame2 = nullptr;
    QRadioButton* Option1 = nullptr;
    QRadioButton* Option2 = nullptr;
    std::array<QRadioButton*, 5> portOptions{}; // Option3..Option7: "COM1".."COM5"
    QLineEdit* Text1 = nullptr;
    QLabel* Label1 = nullptr;
    QPushButton* Command1 = nullptr;
    QPushButton* Command2 = nullptr;

  private:
    void build();
    void choosePort(int number);
    void selectBaudOption(bool nineSixHundred);
    bool openPort();
    void retry(const QString& reason = {});
    void refreshOtherTooltip();

    AppValues& m_values;
    SerialPort& m_port;
    SettingsStore& m_store;
    MessageBox& m_messages;
    std::function<void()> m_showMainWindow;
};

} // namespace kavo
