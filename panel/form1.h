#pragma once

// The operator's panel and the window that owns the projector link. The
// exchange logic lives in TransactionEngine; this window lays out the
// controls and mirrors what the engine shows.

#include "transaction_engine.h"

#include <QWidget>

#include <functional>

class QGroupBox;
class QLabel;

namespace kavo {

inline const QString kForm1Caption = QStringLiteral("KAVO   QV-TN310 QV-TN320  CONTROL  Ver.2.0");
inline constexpr int kCompactHeightTwips = 5780;
inline constexpr int kExtendedHeightTwips = 8100;
inline constexpr int kClientWidthTwips = 10380;
inline constexpr int kAbovePlacementTwips = 1350;

class Form1 : public QWidget {
    Q_OBJECT
public:
    Form1(AppValues& values, SerialPort& port, TimerFactory& timers, SettingsStore& store,
          QWidget* parent = nullptr);
    ~Form1() override;

    // Start-up; shows the port settings dialog through showPortDialogModal
    // when no usable port is stored or the stored one does not open.
    void Form_Load();
    void Hyouji(const QString& text, std::uint8_t mode) { m_engine.Hyouji(text, mode); }
    void Form_QueryUnload() { m_engine.Form_QueryUnload(); }

    TransactionEngine& engine() { return m_engine; }
    AppValues& values() { return m_engine.values(); }

    // Outer height (title bar and borders included where known), in twips.
    int outerHeightTwips() const;
    void setOuterHeightTwips(int twips);

    std::function<void()> showPortDialogModal;

    QGroupBox* Frame9 = nullptr;
    QGroupBox* Frame15 = nullptr;
    QLabel* Label9 = nullptr;
    QLabel* Label10 = nullptr;
    QLabel* Label11 = nullptr;
    QLabel* Label12 = nullptr;
    QLabel* Label25 = nullptr;
    QLabel* Label26 = nullptr;
    QLabel* Label27 = nullptr;
    QLabel* Label28 = nullptr;
    QLabel* Label29 = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildDisplayAreas();
    void placeAboveCentre();
    void mirrorDisplay();

    TransactionEngine m_engine;
};

} // namespace kavo
