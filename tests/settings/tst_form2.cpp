#include "form2.h"
#include "port_dialog.h"
#include "port_factory.h"
#include "port_paths.h"
#ifdef Q_OS_UNIX
#include "loopback_server.h"
#include "pty_pair.h"
#endif
#include "session_rig.h"
#include "window_controls.h"

#include <QGroupBox>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

using namespace kavo;
using namespace kavo::test;
using namespace std::chrono_literals;

namespace {

struct Rig : SessionRig {
    FakeMessageBox messages;
    QWidget mainWindow;
    PortDialog dialogs{session, messages, linkedNetworkPorts(), &mainWindow};

    Form2* fromPanel() {
        dialogs.showFromPanel();
        return dialogs.dialog();
    }
    // The working values as after a start with port and baud code open.
    void running(int comPort, int baudCode) {
        values.Com_port = static_cast<std::int16_t>(comPort);
        values.Baud_code = static_cast<std::uint8_t>(baudCode);
        port.setPortNumber(comPort);
        port.setSettings(baudCode == 96 ? "9600,N,8,1" : "19200,N,8,1");
        QVERIFY(port.open());
        port.openedAt.clear();
    }
    bool retried() const {
        return !messages.shown.empty() && messages.shown.back().text == kRetryText &&
               messages.shown.back().title == kRetryTitle;
    }
};

void typeInOther(Form2* dialog, const QString& keys) {
    control<QLineEdit>(*dialog, "Text", 1)->setFocus();
    QTest::keyClicks(control<QLineEdit>(*dialog, "Text", 1), keys);
}

QWidget* nextTabStop(QWidget* from) {
    QWidget* next = from->nextInFocusChain();
    while (next != from && !(next->focusPolicy() & Qt::TabFocus))
        next = next->nextInFocusChain();
    return next;
}

int checkedPortOption(Form2* dialog) {
    for (int i = 0; i < 5; ++i) {
        if (control<QRadioButton>(*dialog, "Option", i + 3)->isChecked())
            return i + 1;
    }
    return 0;
}

// The dialog on the product's port, for real devices and network servers
// in the port folder.
struct RealPortRig {
    QtPortFactory ports{linkedNetworkPorts()};
    PortByNumber port{ports};
    FakeClock clock;
    FakeSettingsStore store;
    FakeMessageBox messages;
    PanelSession session{port, clock, store};
    AppValues& values = session.values();
    Form2 dialog{session, messages, linkedNetworkPorts(), {}};
};

} // namespace

class TestForm2 : public QObject {
    Q_OBJECT
  private slots:
    void layoutAndCaptions() {
        Rig rig;
        Form2* dialog = rig.fromPanel();
        QCOMPARE(dialog->windowTitle(), QStringLiteral("  COM PORT"));
        QCOMPARE(dialog->size(), QSize(207, 267));
        QCOMPARE(control<QGroupBox>(*dialog, "Frame", 2)->geometry(), QRect(24, 80, 97, 169));
        // The frame's column moves down only as far as a desktop font's caption needs.
        const QRect other = control<QLineEdit>(*dialog, "Text", 1)->geometry();
        QCOMPARE(other.size(), QSize(25, 18));
        QCOMPARE(other.x(), 12);
        QVERIFY(other.y() >= 136 && other.y() <= 136 + 10);
        QCOMPARE(control<QPushButton>(*dialog, "Command", 1)->text(), QStringLiteral("OK"));
        QCOMPARE(control<QPushButton>(*dialog, "Command", 2)->text(), QStringLiteral("Cancel"));
        QCOMPARE(control<QRadioButton>(*dialog, "Option", 4 + 3)->text(), QStringLiteral("COM5"));
        // The port options do not overlap: each takes its own clicks.
        for (int i = 0; i < 5; ++i) {
            const QRect area = control<QRadioButton>(*dialog, "Option", i + 3)->geometry();
            QCOMPARE(control<QGroupBox>(*dialog, "Frame", 2)->childAt(area.center()),
                     control<QRadioButton>(*dialog, "Option", i + 3));
            for (int j = i + 1; j < 5; ++j)
                QVERIFY(
                    !area.intersects(control<QRadioButton>(*dialog, "Option", j + 3)->geometry()));
        }
        QVERIFY(!(dialog->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(!(dialog->windowFlags() & Qt::WindowMinimizeButtonHint));
        // Tab order starts at the "OTHER" box and runs down to "Cancel".
        QCOMPARE(nextTabStop(control<QLineEdit>(*dialog, "Text", 1)),
                 control<QRadioButton>(*dialog, "Option", 1));
        QCOMPARE(nextTabStop(control<QRadioButton>(*dialog, "Option", 4 + 3)),
                 control<QPushButton>(*dialog, "Command", 1));
        QCOMPARE(nextTabStop(control<QPushButton>(*dialog, "Command", 1)),
                 control<QPushButton>(*dialog, "Command", 2));
    }

    void firstRunShowsNothingChosenAndOkRetries() {
        Rig rig;
        auto* dialog = new Form2(rig.session, rig.messages, linkedNetworkPorts(), {});
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->show();
        QCOMPARE(checkedPortOption(dialog), 0);
        QVERIFY(control<QRadioButton>(*dialog, "Option", 2)->isChecked());
        QCOMPARE(control<QLineEdit>(*dialog, "Text", 1)->text(), QStringLiteral("0"));
        QCOMPARE(control<QLineEdit>(*dialog, "Text", 1)->selectedText(), QStringLiteral("0"));
        QCOMPARE(rig.values.Baud_code, std::uint8_t(192));
        QCOMPARE(rig.port.settings(), QStringLiteral("19200,N,8,1"));
        QTest::mouseClick(control<QPushButton>(*dialog, "Command", 1), Qt::LeftButton);
        QVERIFY(rig.retried());
        QCOMPARE(rig.messages.shown.back().detail, QStringLiteral("Choose a port first."));
        QVERIFY(dialog->isVisible());
        QCOMPARE(rig.port.openAttempts, 0);
        delete dialog;
    }

    void cancelAtStartUpThenChooseAndOk() {
        Rig rig;
        Form2 dialog(rig.session, rig.messages, linkedNetworkPorts(), {});
        dialog.show();
        control<QRadioButton>(dialog, "Option", 2 + 3)->click(); // COM3
        QCOMPARE(rig.values.Com_port, std::int16_t(3));
        QTest::mouseClick(control<QPushButton>(dialog, "Command", 2), Qt::LeftButton);
        QCOMPARE(rig.values.Com_port, std::int16_t(0));
        QVERIFY(rig.retried());
        QVERIFY(dialog.isVisible());
        QTest::mouseClick(control<QPushButton>(dialog, "Command", 1), Qt::LeftButton);
        QCOMPARE(rig.messages.shown.size(), std::size_t(2));
        QVERIFY(!rig.port.isOpen());
        // Clicking the option still shown selected chooses it again.
        control<QRadioButton>(dialog, "Option", 2 + 3)->click();
        QTest::mouseClick(control<QPushButton>(dialog, "Command", 1), Qt::LeftButton);
        QCOMPARE(rig.port.openedAt, QStringList{"3@19200,N,8,1"});
        QVERIFY(!dialog.isVisible());
    }

    void typingInOther_data() {
        QTest::addColumn<int>("startPort");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("box");
        QTest::newRow("1") << 0 << "1" << 1 << "1";
        QTest::newRow("1 2") << 0 << "12" << 12 << "12";
        QTest::newRow("1 2 5") << 0 << "125" << 12 << "0";
        QTest::newRow("1 6") << 0 << "16" << 1 << "0";
        QTest::newRow("15") << 0 << "15" << 15 << "15";
        QTest::newRow("letters") << 4 << "x" << 4 << "0";
        QTest::newRow("minus") << 4 << "-" << 4 << "0";
    }
    void typingInOther() {
        QFETCH(int, startPort);
        QFETCH(QString, keys);
        Rig rig;
        rig.values.Com_port = static_cast<std::int16_t>(startPort);
        Form2 dialog(rig.session, rig.messages, linkedNetworkPorts(), {});
        dialog.show();
        typeInOther(&dialog, keys);
        QTEST(int(rig.values.Com_port), "port");
        QTEST(control<QLineEdit>(dialog, "Text", 1)->text(), "box");
    }

    void textSetByCodeRunsChangeHandler_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("box");
        QTest::newRow("7") << "7" << 7 << "7";
        QTest::newRow("07") << "07" << 7 << "07";
        QTest::newRow("empty") << "" << 5 << "0";
        QTest::newRow("letters") << "abc" << 5 << "0";
        QTest::newRow("300") << "300" << 5 << "0";
        QTest::newRow("255") << "255" << 5 << "0";
        QTest::newRow("-1") << "-1" << 5 << "0";
        QTest::newRow("1.5") << "1.5" << 5 << "0";
        QTest::newRow("blank 3") << " 3" << 5 << "0";
        QTest::newRow("arabic-indic digit") << QString(QChar(0x0663)) << 5 << "0";
        QTest::newRow("10 kB") << QString(10240, QLatin1Char('9')) << 5 << "0";
    }
    void textSetByCodeRunsChangeHandler() {
        QFETCH(QString, text);
        Rig rig;
        rig.values.Com_port = 5;
        Form2 dialog(rig.session, rig.messages, linkedNetworkPorts(), {});
        int changes = 0;
        connect(control<QLineEdit>(dialog, "Text", 1), &QLineEdit::textChanged, [&] { ++changes; });
        control<QLineEdit>(dialog, "Text", 1)->setText(text);
        QTEST(int(rig.values.Com_port), "port");
        QTEST(control<QLineEdit>(dialog, "Text", 1)->text(), "box");
        QVERIFY2(changes <= 2, "the reset to 0 settles at once");
    }

    void optionsSelectedByCodeRunTheirHandlers() {
        Rig rig;
        Form2 dialog(rig.session, rig.messages, linkedNetworkPorts(), {});
        control<QRadioButton>(dialog, "Option", 1)->setChecked(true);
        QCOMPARE(rig.values.Baud_code, std::uint8_t(96));
        control<QRadioButton>(dialog, "Option", 2)->setChecked(true);
        QCOMPARE(rig.values.Baud_code, std::uint8_t(192));
        for (int i = 0; i < 5; ++i) {
            control<QRadioButton>(dialog, "Option", i + 3)->setChecked(true);
            QCOMPARE(int(rig.values.Com_port), i + 1);
        }
    }

    void comThreeThenSevenOpensSeven() {
        Rig rig;
        Form2 dialog(rig.session, rig.messages, linkedNetworkPorts(), {});
        dialog.show();
        QTest::mouseClick(control<QRadioButton>(dialog, "Option", 2 + 3), Qt::LeftButton);
        typeInOther(&dialog, "7");
        QTest::mouseClick(control<QPushButton>(dialog, "Command", 1), Qt::LeftButton);
        QVERIFY(control<QRadioButton>(dialog, "Option", 2 + 3)->isChecked());
        QCOMPARE(rig.port.openedAt, QStringList{"7@19200,N,8,1"});
    }

    void okStoresAndNextStartUsesIt() {
        Rig rig;
        bool mainShown = false;
        Form2 dialog(rig.session, rig.messages, linkedNetworkPorts(), [&] { mainShown = true; });
        dialog.show();
        typeInOther(&dialog, "12");
        QTest::mouseClick(control<QRadioButton>(dialog, "Option", 1), Qt::LeftButton);
        QTest::mouseClick(control<QPushButton>(dialog, "Command", 1), Qt::LeftButton);
        QVERIFY(mainShown);
        QCOMPARE(control<QLineEdit>(dialog, "Text", 1)->text(), QStringLiteral("0"));
        QCOMPARE(rig.values.Com_port, std::int16_t(12));
        QCOMPARE(rig.store.value("ComPort"), QStringLiteral("12"));
        QCOMPARE(rig.store.value("BaudRate"), QStringLiteral("96"));

        // The next run opens port 12 at 9600 without the dialog.
        AppValues next;
        FakeSerialPort port;
        FakeClock clock;
        TransactionEngine engine(next, port, clock, rig.store);
        QCOMPARE(engine.startUp(), TransactionEngine::StartUp::Opened);
        QCOMPARE(port.openedAt, QStringList{"12@9600,N,8,1"});
    }

    void storedBaudOtherThan96_data() {
        QTest::addColumn<QString>("baud");
        QTest::newRow("absent") << QString();
        QTest::newRow("192") << "192";
        QTest::newRow("5") << "5";
    }
    void storedBaudOtherThan96() {
        QFETCH(QString, baud);
        Rig rig;
        rig.store.setStartUp("2", baud);
        QCOMPARE(rig.session.startUp(), TransactionEngine::StartUp::Opened);
        QCOMPARE(rig.port.settings(), QStringLiteral("19200,N,8,1"));
        Form2* dialog = rig.fromPanel();
        QVERIFY(control<QRadioButton>(*dialog, "Option", 2)->isChecked());
        QTest::mouseClick(control<QPushButton>(*dialog, "Command", 1), Qt::LeftButton);
        QCOMPARE(rig.store.value("BaudRate"), QStringLiteral("192"));
    }

    void comWithPortTwelveInUse() {
        Rig rig;
        rig.running(12, 96);
        Form2* dialog = rig.fromPanel();
        QVERIFY(!rig.port.isOpen());
        QCOMPARE(checkedPortOption(dialog), 0);
        QCOMPARE(control<QLineEdit>(*dialog, "Text", 1)->text(), QStringLiteral("0"));
        QVERIFY(control<QRadioButton>(*dialog, "Option", 1)->isChecked());
        QTest::mouseClick(control<QPushButton>(*dialog, "Command", 1), Qt::LeftButton);
        QCOMPARE(rig.port.openedAt, QStringList{"12@9600,N,8,1"});
    }

    void comShowsPortInUse_data() {
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("option");
        QTest::newRow("COM1") << 1 << 1;
        QTest::newRow("COM5") << 5 << 5;
        QTest::newRow("port 6") << 6 << 0;
    }
    void comShowsPortInUse() {
        QFETCH(int, port);
        Rig rig;
        rig.running(port, 192);
        QTEST(checkedPortOption(rig.fromPanel()), "option");
    }

    void okWhilePortOpenReopensWithNewValues() {
        Rig rig;
        rig.running(2, 192);
        Form2* dialog = rig.fromPanel();
        QTest::mouseClick(control<QRadioButton>(*dialog, "Option", 3 + 3), Qt::LeftButton); // COM4
        QTest::mouseClick(control<QRadioButton>(*dialog, "Option", 1), Qt::LeftButton);
        QVERIFY(rig.port.open()); // left open by some earlier failure
        QTest::mouseClick(control<QPushButton>(*dialog, "Command", 1), Qt::LeftButton);
        QVERIFY(rig.messages.shown.empty());
        QVERIFY(rig.port.isOpen());
        QCOMPARE(rig.port.openedAt.last(), QStringLiteral("4@9600,N,8,1"));
        QCOMPARE(rig.store.value("ComPort"), QStringLiteral("4"));
    }

    // "Cancel" after COM5 and 19200 were chosen, when it cannot go back.
    void cancelWithoutReturn_data() {
        QTest::addColumn<int>("inUse"); // the port in use when "COM" was pressed; 0 for none
        QTest::addColumn<bool>("reopenFails");
        QTest::addColumn<bool>("openMeanwhile"); // the port is open when "Cancel" is pressed
        QTest::addColumn<bool>("dialogStays");
        QTest::newRow("reopen fails") << 2 << true << false << true;
        QTest::newRow("no port before, port open") << 0 << false << true << false;
        QTest::newRow("no port before, port closed") << 0 << false << false << true;
    }
    void cancelWithoutReturn() {
        QFETCH(int, inUse);
        QFETCH(bool, reopenFails);
        QFETCH(bool, openMeanwhile);
        Rig rig;
        if (inUse != 0)
            rig.running(inUse, 96);
        QPointer<Form2> dialog = rig.fromPanel();
        QTest::mouseClick(control<QRadioButton>(*dialog, "Option", 4 + 3), Qt::LeftButton);
        QTest::mouseClick(control<QRadioButton>(*dialog, "Option", 2), Qt::LeftButton);
        rig.port.failOpen = reopenFails;
        if (openMeanwhile)
            QVERIFY(rig.port.open());
        QTest::mouseClick(control<QPushButton>(*dialog, "Command", 2), Qt::LeftButton);
        QVERIFY(rig.retried());
        QTEST(dialog && dialog->isVisible(), "dialogStays");
        QVERIFY(!rig.port.isOpen());
        QCOMPARE(int(rig.values.Com_port), inUse);
        QCOMPARE(rig.store.writes, 0);
        // The remembered values are restored and shown.
        if (inUse != 0) {
            QCOMPARE(rig.values.Baud_code, std::uint8_t(96));
            QVERIFY(control<QRadioButton>(*dialog, "Option", 1)->isChecked());
        }
    }

    void comThenCancelRestoresWithoutStoring() {
        Rig rig;
        rig.running(2, 96);
        Form2* dialog = rig.fromPanel();
        QCOMPARE(rig.values.Prev_com_port, std::int16_t(2));
        QTest::mouseClick(control<QRadioButton>(*dialog, "Option", 4 + 3), Qt::LeftButton);
        QTest::mouseClick(control<QRadioButton>(*dialog, "Option", 2), Qt::LeftButton);
        typeInOther(dialog, "9");
        QTest::mouseClick(control<QPushButton>(*dialog, "Command", 2), Qt::LeftButton);
        QCOMPARE(rig.port.openedAt, QStringList{"2@9600,N,8,1"});
        QCOMPARE(rig.values.Baud_code, std::uint8_t(96));
        QCOMPARE(rig.store.writes, 0);
        QVERIFY(rig.messages.shown.empty());
        QVERIFY(rig.mainWindow.isVisible());
    }

    void comTwiceRemembersChoiceSoFar() {
        Rig rig;
        rig.running(2, 96);
        Form2* dialog = rig.fromPanel();
        QTest::mouseClick(control<QRadioButton>(*dialog, "Option", 3 + 3), Qt::LeftButton); // COM4
        QTest::mouseClick(control<QRadioButton>(*dialog, "Option", 2), Qt::LeftButton);
        QCOMPARE(rig.fromPanel(), dialog); // brought forward, not reloaded
        QCOMPARE(rig.values.Prev_com_port, std::int16_t(4));
        QCOMPARE(rig.values.Prev_baud_code, std::uint8_t(192));
        QTest::mouseClick(control<QPushButton>(*dialog, "Command", 2), Qt::LeftButton);
        QCOMPARE(rig.port.openedAt, QStringList{"4@19200,N,8,1"});
    }

    void closeBoxLeavesPortClosedAndStoreUnchanged() {
        Rig rig;
        rig.running(3, 192);
        Form2* dialog = rig.fromPanel();
        QTest::mouseClick(control<QRadioButton>(*dialog, "Option", 0 + 3), Qt::LeftButton);
        dialog->close();
        QTRY_VERIFY(rig.dialogs.dialog() == nullptr); // destroyed when closed
        QVERIFY(!rig.port.isOpen());
        QCOMPARE(rig.store.writes, 0);
        QCOMPARE(rig.values.Com_port, std::int16_t(1));
        // The next showing loads afresh.
        Form2* again = rig.fromPanel();
        QVERIFY(control<QRadioButton>(*again, "Option", 0 + 3)->isChecked());
    }

    void openFailureRetriesWithReason() {
        Rig rig;
        rig.port.failOpen = true;
        rig.port.failReason = QStringLiteral("COM9 is in use by another program.");
        Form2* dialog = rig.fromPanel();
        typeInOther(dialog, "9");
        QTest::mouseClick(control<QPushButton>(*dialog, "Command", 1), Qt::LeftButton);
        QVERIFY(rig.retried());
        QCOMPARE(rig.messages.shown.back().detail, rig.port.failReason);
        QVERIFY(dialog->isVisible());
        QCOMPARE(rig.store.writes, 0);
        QCOMPARE(rig.values.Com_port, std::int16_t(9));
    }

    void storeFailureRetriesWithReasonAndKeepsDialog() {
        Rig rig;
        rig.store.failWrites = QStringLiteral("cannot write /home/op/.config/KAVO.conf: disk full");
        Form2* dialog = rig.fromPanel();
        control<QRadioButton>(*dialog, "Option", 2 + 3)->click();
        QTest::mouseClick(control<QPushButton>(*dialog, "Command", 1), Qt::LeftButton);
        QVERIFY(rig.retried());
        QCOMPARE(rig.messages.shown.back().detail, rig.store.failWrites);
        QVERIFY(dialog->isVisible());
        QVERIFY(!rig.mainWindow.isVisible());
        QCOMPARE(rig.store.writes, 1); // nothing more is tried after a failure
    }

    void portAboveFifteenFromEditedStoreRetries() {
        Rig rig;
        rig.values.Com_port = 300;
        Form2* dialog = rig.fromPanel();
        QTest::mouseClick(control<QPushButton>(*dialog, "Command", 1), Qt::LeftButton);
        QVERIFY(rig.retried());
        QCOMPARE(rig.port.openAttempts, 0);
    }

    void startUpModalOkShowsMainWindow() {
        Rig rig;
        QTimer::singleShot(0, [&] {
            Form2* dialog = rig.dialogs.dialog();
            QVERIFY(dialog && dialog->isModal());
            control<QRadioButton>(*dialog, "Option", 1 + 3)->click();
            control<QPushButton>(*dialog, "Command", 1)->click();
        });
        rig.dialogs.showModal();
        QCOMPARE(rig.port.openedAt, QStringList{"2@19200,N,8,1"});
        QVERIFY(rig.mainWindow.isVisible());
        QCOMPARE(rig.store.value("ComPort"), QStringLiteral("2"));
    }

#ifdef Q_OS_UNIX
    // The real serial port on a pseudo-terminal linked as a port entry.
    void realPtyThroughOk() {
        TempConfigHome home;
        PtyPair pty;
        QVERIFY(pty.linkAs(portFolder(), 6));
        RealPortRig real;
        Form2& dialog = real.dialog;
        QVERIFY(control<QLineEdit>(dialog, "Text", 1)->toolTip().isEmpty() == false);
        control<QRadioButton>(dialog, "Option", 1)->click();
        control<QLineEdit>(dialog, "Text", 1)->setText("6");
        // The device behind the link is named, not the link.
        QCOMPARE(control<QLineEdit>(dialog, "Text", 1)->toolTip(), pty.slavePath() + " - present");
        control<QPushButton>(dialog, "Command", 1)->click();
        QVERIFY(real.messages.shown.empty());
        QVERIFY(real.port.isOpen());
        QCOMPARE(pty.slaveSpeed(), 9600);
        QCOMPARE(real.store.value("ComPort"), QStringLiteral("6"));
    }

    // A port folder entry naming a network serial server: "OK" connects, or
    // says why not in the retry message's details.
    void networkEntryThroughOk_data() {
        QTest::addColumn<bool>("listening");
        QTest::newRow("server listening") << true;
        QTest::newRow("server switched off") << false;
    }
    void networkEntryThroughOk() {
        QFETCH(bool, listening);
        TempConfigHome home;
        LoopbackServer server;
        QVERIFY(server.linkAs(portFolder(), 8));
        if (!listening)
            server.hangUp();
        RealPortRig real;
        Form2& dialog = real.dialog;
        control<QLineEdit>(dialog, "Text", 1)->setText("8");
        QVERIFY2(control<QLineEdit>(dialog, "Text", 1)
                     ->toolTip()
                     .startsWith(server.name() + " - present"),
                 qPrintable(control<QLineEdit>(dialog, "Text", 1)->toolTip()));
        control<QPushButton>(dialog, "Command", 1)->click();
        QCOMPARE(real.port.isOpen(), listening);
        QCOMPARE(server.waitForClient(listening ? 2s : 0s), listening);
        QCOMPARE(real.store.value("ComPort"), listening ? QStringLiteral("8") : QString());
        QCOMPARE(real.messages.shown.size(), std::size_t(listening ? 0 : 1));
        if (!listening) {
            QVERIFY2(
                real.messages.shown[0].detail.startsWith(server.name() + ": connection refused"),
                qPrintable(real.messages.shown[0].detail));
        }
    }

    void realMissingDeviceShowsRetry() {
        TempConfigHome home;
        QVERIFY(makePortEntry(portFolder(), 7, PortEntryKind::Link, "/dev/kavo-absent-device"));
        RealPortRig real;
        Form2& dialog = real.dialog;
        control<QLineEdit>(dialog, "Text", 1)->setText("7");
        QVERIFY(control<QLineEdit>(dialog, "Text", 1)->toolTip().endsWith(" - not present"));
        control<QPushButton>(dialog, "Command", 1)->click();
        QCOMPARE(real.messages.shown.size(), std::size_t(1));
        QCOMPARE(real.messages.shown[0].text, kRetryText);
        QVERIFY(real.messages.shown[0].detail.contains("No such device"));
        QCOMPARE(real.store.writes, 0);
    }
#endif
};

QTEST_MAIN(TestForm2)
#include "tst_form2.moc"
