#pragma once

// The command console: the operator picks a command from one of the three
// reference lists or types one, and sends it through the main window's
// Hyouji. It keeps its own command line (Console_cmd) and never touches
// Cur_cmd, so the panel's status decoding keys on what the panel last sent.

#include "panel_session.h"

#include <functional>
#include <QWidget>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace kavo {

class OuterFrame;

inline const QString kForm3Caption = QStringLiteral("Command List");
inline constexpr int kForm3ClientWidthTwips = 10005;
inline constexpr int kForm3LoadedOuterHeightTwips = 2500;
inline constexpr int kForm3ListTopTwips = 1560;

// Created when shown, destroyed when closed (Qt::WA_DeleteOnClose); the
// constructor runs Form_Load, so a console is loaded exactly once.
//
// "COMMANDTABLE" (PanelLogic::Command74_Click) prepares the session for the
// console before the application creates it; while one exists it is only
// raised. With the main window as parent the console stays its own window but
// never outlives the session.
//
// showMainWindow runs once when the console unloads, by "CLOSE" or by the
// window's close box alike, and shows the main window and its Frame15; the
// session then takes its own reply window back. Neither happens when the
// console is destroyed without being closed (its parent going away).
class Form3 : public QWidget {
    Q_OBJECT
  public:
    Form3(PanelSession& session, std::function<void()> showMainWindow, QWidget* parent = nullptr);
    ~Form3() override;

    void Form_Load();
    void Combo1_Click();
    void Combo2_Click();
    void Combo3_Click();
    void Command1_Click(); // "SEND"
    void Command2_Click(); // "CLOSE"
    void Command3_Click(); // "Basic Command List"
    void Command4_Click(); // "Expand Command List"
    void Command5_Click(); // "Expand Read Command List"
    void Text1_Change();

    // The line to send: the command part of Text1 followed by one CR.
    const QString& Console_cmd() const { return m_consoleCmd; }

    // Opens centred over `window` (the panel), on the screen as far as it fits.
    void placeOver(const QWidget* window);

    // Outer height (title bar and borders included where known), in twips.
    int outerHeightTwips() const;
    void setOuterHeightTwips(int twips);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    QPushButton* Command1 = nullptr;
    QPushButton* Command2 = nullptr;
    QPushButton* Command3 = nullptr;
    QPushButton* Command4 = nullptr;
    QPushButton* Command5 = nullptr;
    QLineEdit* Text1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QComboBox* Combo1 = nullptr;
    QComboBox* Combo2 = nullptr;
    QComboBox* Combo3 = nullptr;

    void buildControls();
    void pick(const QComboBox* list);
    void showOnly(QComboBox* list);
    void unload();

    PanelSession& m_session;
    std::function<void()> m_showMainWindow;
    QString m_consoleCmd;
    OuterFrame* m_outerFrame; // owned as a child
    bool m_unloaded = false;
};

} // namespace kavo
