#include "application.h"
#include "command_line.h"
#include "fakes.h"
#include "form1.h"
#include "form2.h"
#include "form3.h"
#include "kavo_version.h"
#include "line_constants.h"
#include "port_dialog.h"
#include "session_rig.h"
#include "window_controls.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

using namespace kavo;
using namespace kavo::test;
using std::chrono::milliseconds;

namespace {

struct Rig : FakePlatform {
    FakeMessageBox messages;
    Application app{{port, store, clock, messages, linkedNetworkPorts()}};
    AppValues& values = app.session().values();
    int ended = 0;

    Rig() {
        app.form1().endProgram = [this] { ++ended; };
    }
    QPushButton* button(int number) { return control<QPushButton>(app.form1(), "Command", number); }
    QWidget* panel(const char* kind, int number) {
        return control<QWidget>(app.form1(), kind, number);
    }
};

} // namespace

class TestApplication : public QObject {
    Q_OBJECT
  private slots:
    // The program's own options, read before QApplication exists (Qt's still
    // among them) and after (Qt's taken out).
    void commandLine_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("text");
        using Outcome = CommandLine::Outcome;
        const QString usage = QStringLiteral("Usage: kavo-control [OPTION...]\n");
        QTest::newRow("none") << QStringList{} << int(Outcome::RunPanel) << QString();
        QTest::newRow("--help beside Qt's options")
            << QStringList{"-platform", "offscreen", "--help"} << int(Outcome::Answered) << usage;
        QTest::newRow("--version") << QStringList{"--version"} << int(Outcome::Answered)
                                   << QStringLiteral("kavo-control " KAVO_VERSION "\n");
        // Spelt letter by letter, -stylesheet would hold -h.
        QTest::newRow("Qt's options alone")
            << QStringList{"-reverse", "-stylesheet", "a.qss"} << int(Outcome::Refused)
            << "kavo-control: Unknown options: reverse, stylesheet. See kavo-control --help.";
        QTest::newRow("unknown option")
            << QStringList{"--bogus"} << int(Outcome::Refused)
            << "kavo-control: Unknown option 'bogus'. See kavo-control --help.";
        QTest::newRow("an argument")
            << QStringList{"COM1"} << int(Outcome::Refused)
            << "kavo-control: Unexpected argument 'COM1'. See kavo-control --help.";
    }
    void commandLine() {
        QFETCH(QStringList, arguments);
        QFETCH(int, outcome);
        QFETCH(QString, text);
        const CommandLine line = readCommandLine(QStringList{"kavo-control"} + arguments);
        QCOMPARE(int(line.outcome), outcome);
        QCOMPARE(line.text.left(text.size()), text);
        QCOMPARE(line.exitCode, outcome == int(CommandLine::Outcome::Refused) ? 1 : 0);
    }

    // No usable port stored, or the stored one does not open: the modal
    // dialog first, the panel once "OK" has opened a port.
    void startUpShowsDialogThenPanel_data() {
        QTest::addColumn<QString>("comPort");
        QTest::addColumn<bool>("openFails");
        QTest::newRow("nothing stored") << QString() << false;
        QTest::newRow("stored port does not open") << "4" << true;
    }
    void startUpShowsDialogThenPanel() {
        QFETCH(QString, comPort);
        QFETCH(bool, openFails);
        Rig rig;
        rig.store.setStartUp(comPort, QString());
        rig.port.failOpen = openFails;
        QTimer::singleShot(0, [&] {
            Form2* dialog = rig.app.portDialog().dialog();
            QVERIFY(dialog && dialog->isVisible() && dialog->isModal());
            QVERIFY(!rig.app.form1().isVisible());
            rig.port.failOpen = false;
            control<QRadioButton>(*dialog, "Option", 1 + 3)->click();
            control<QPushButton>(*dialog, "Command", 1)->click();
        });
        rig.app.start();
        QVERIFY(rig.app.form1().isVisible());
        QCOMPARE(rig.port.openAttempts, openFails ? 2 : 1);
        QCOMPARE(rig.port.openedAt, QStringList{"2@19200,N,8,1"});
        QCOMPARE(rig.store.value("ComPort"), QStringLiteral("2"));
    }

    void closingStartUpDialogShowsPanelWithPortClosed() {
        Rig rig;
        rig.store.setStartUp("16", "96");
        QTimer::singleShot(0, [&] { rig.app.portDialog().dialog()->close(); });
        rig.app.start();
        QVERIFY(rig.app.form1().isVisible());
        QVERIFY(!rig.port.isOpen());
        // Sends still show their trace and time out, and nothing fails.
        QTest::mouseClick(rig.button(17), Qt::LeftButton);
        rig.clock.advance(milliseconds(5500));
        QCOMPARE(control<QLabel>(rig.app.form1(), "Label", 12)->text(), QStringLiteral(" X X X X"));
    }

    void storedPortOpensWithoutDialog() {
        Rig rig;
        rig.store.setStartUp("15", "96");
        rig.app.start();
        QVERIFY(rig.app.portDialog().dialog() == nullptr);
        QCOMPARE(rig.port.openedAt, QStringList{"15@9600,N,8,1"});
    }

    void commandTableOpensConsoleOnceAndCloseRestores() {
        Rig rig;
        rig.store.setStartUp("1", "192");
        rig.app.start();
        QTest::mouseClick(rig.button(74), Qt::LeftButton);
        Form3* console = rig.app.console();
        QVERIFY(console && console->isVisible());
        control<QLineEdit>(*console, "Text", 1)->setText(QStringLiteral("CR LAMPSTS"));
        QTest::mouseClick(rig.button(74), Qt::LeftButton);
        QCOMPARE(rig.app.console(), console);
        QCOMPARE(control<QLineEdit>(*console, "Text", 1)->text(),
                 QStringLiteral("CR LAMPSTS")); // not reloaded
        QVERIFY(rig.panel("Frame", 15)->isHidden());
        QCOMPARE(rig.app.session().engine().Timer2().interval(), milliseconds(5000));

        control<QPushButton>(*console, "Command", 2)->click(); // "CLOSE"
        QVERIFY(!rig.panel("Frame", 15)->isHidden());
        QCOMPARE(rig.app.session().engine().Timer2().interval(), milliseconds(1000));
        QCOMPARE(rig.app.session().engine().Timer4().interval(), milliseconds(1200));
        QTRY_VERIFY(rig.app.console() == nullptr);

        QTest::mouseClick(rig.button(74), Qt::LeftButton);
        QVERIFY(rig.app.console() != console ||
                control<QLineEdit>(*rig.app.console(), "Text", 1)->text() == "C00[CR]");
        rig.app.console()->close(); // the close box restores too
        QVERIFY(!rig.panel("Frame", 15)->isHidden());
        QCOMPARE(rig.app.session().engine().Timer4().interval(), milliseconds(1200));
    }

    void comThenCancelReopens() {
        Rig rig;
        rig.store.setStartUp("3", "96");
        rig.app.start();
        QTest::mouseClick(rig.button(33), Qt::LeftButton);
        QVERIFY(!rig.port.isOpen());
        Form2* dialog = rig.app.portDialog().dialog();
        QVERIFY(dialog && dialog->isVisible() && !dialog->isModal());
        // The panel stays usable while the dialog is open; its sends write nothing.
        QTest::mouseClick(rig.button(17), Qt::LeftButton);
        QVERIFY(rig.port.written.isEmpty());
        control<QPushButton>(*dialog, "Command", 2)->click();
        QVERIFY(rig.port.isOpen());
        QCOMPARE(rig.port.openedAt.last(), QStringLiteral("3@9600,N,8,1"));
    }

    void endWithDialogAndConsoleOpen() {
        Rig rig;
        rig.store.setStartUp("1", "192");
        rig.app.start();
        QTest::mouseClick(rig.button(74), Qt::LeftButton);
        QTest::mouseClick(rig.button(33), Qt::LeftButton);
        QVERIFY(rig.app.portDialog().dialog()->isVisible());
        QVERIFY(rig.app.console()->isVisible());
        QTest::mouseClick(rig.button(16), Qt::LeftButton);
        QCOMPARE(rig.ended, 1);
        QVERIFY(!rig.port.isOpen());
    }

    void lostFocusDuringHoldEndsRepeat() {
        Rig rig;
        rig.store.setStartUp("1", "192");
        rig.app.start();
        QApplication::setActiveWindow(&rig.app.form1());
        QTRY_VERIFY(rig.app.form1().isActiveWindow());
        QTest::mousePress(rig.button(1), Qt::LeftButton);
        rig.clock.advance(milliseconds(150));
        QWidget other;
        other.show();
        QApplication::setActiveWindow(&other);
        QTRY_VERIFY(!rig.app.form1().isActiveWindow());
        rig.clock.advance(milliseconds(1000));
        QCOMPARE(rig.port.written.count("C09\r"), 2);
        QCOMPARE(rig.app.session().logic().Cont_flag, std::int16_t(0));
    }
};

QTEST_MAIN(TestApplication)
#include "tst_application.moc"
