// The link through the real QSerialPort implementation on a pseudo-terminal.

#include "line_settings.h"
#include "port_paths.h"
#include "pty_pair.h"
#include "qt_platform.h"
#include "qt_serial_port.h"
#include "transaction_engine.h"

#include <QSettings>
#include <QTest>

using namespace kavo;
using namespace kavo::test;
using namespace std::chrono_literals;

class TestPtyLink : public QObject {
    Q_OBJECT
private slots:
    void startUpSendAndReplyOverPty() {
        TempConfigHome home;
        PtyPair pty;
        QVERIFY(pty.isValid());
        QVERIFY(pty.linkAs(portFolder(), 1));
        QCOMPARE(portDevicePath(1), portFolder() + QStringLiteral("/COM1"));

        QtSettingsStore store;
        store.write(kStoreApplication, kStoreSection, kStoreComPort, QStringLiteral("1"));
        QVERIFY(QFile::exists(home.path() + QStringLiteral("/KAVO.conf")));

        AppValues values;
        QtSerialPort port;
        QtTimerFactory timers;
        TransactionEngine engine(values, port, timers, store);
        QCOMPARE(engine.startUp(), TransactionEngine::StartUp::Opened);
        QVERIFY(port.isOpen());
        QCOMPARE(pty.slaveSpeed(), 19200);

        values.Cur_cmd = commandLine(u"CR0");
        engine.Hyouji(values.Cur_cmd, 1);
        QCOMPARE(pty.read(4, 2s), QByteArray("CR0\r"));

        pty.write("00");
        QTRY_COMPARE_WITH_TIMEOUT(engine.display().rxd, QStringLiteral(" 0 0 "), 2000);
        pty.write("\r");
        QTRY_COMPARE_WITH_TIMEOUT(engine.display().rxd, QStringLiteral(" 0 0  [CR] "), 2000);
        QCOMPARE(engine.display().status, QStringLiteral(" Power ON"));

        engine.Form_QueryUnload();
        QVERIFY(!port.isOpen());
    }

    void nineSixHundredFromStore() {
        TempConfigHome home;
        PtyPair pty;
        QVERIFY(pty.linkAs(portFolder(), 3));
        QtSettingsStore store;
        store.write(kStoreApplication, kStoreSection, kStoreComPort, QStringLiteral("3"));
        store.write(kStoreApplication, kStoreSection, kStoreBaudRate, QStringLiteral("96"));
        AppValues values;
        QtSerialPort port;
        QtTimerFactory timers;
        TransactionEngine engine(values, port, timers, store);
        QCOMPARE(engine.startUp(), TransactionEngine::StartUp::Opened);
        QCOMPARE(pty.slaveSpeed(), 9600);
    }

    void missingDeviceIsReportedInPlainWords() {
        TempConfigHome home;
        QDir().mkpath(portFolder());
        QVERIFY(QFile::link(QStringLiteral("/dev/kavo-no-such-device"),
                            portFolder() + QStringLiteral("/COM2")));
        QtSerialPort port;
        port.setPortNumber(2);
        const OpenResult result = port.open();
        QVERIFY(!result);
        QVERIFY2(result.reason.contains(QStringLiteral("No such device")), qPrintable(result.reason));
        QVERIFY(!port.isOpen());
    }

    void lostDeviceClosesPortOnce() {
        TempConfigHome home;
        auto pty = std::make_unique<PtyPair>();
        QVERIFY(pty->linkAs(portFolder(), 1));
        QtSerialPort port;
        port.setPortNumber(1);
        QVERIFY(port.open());
        int lost = 0;
        port.setEventHandler([&](CommEvent event) { lost += event == CommEvent::LineLost; });
        pty.reset(); // the other end hangs up
        QTRY_VERIFY_WITH_TIMEOUT(!port.isOpen(), 2000);
        QTest::qWait(100);
        QCOMPARE(lost, 1);
    }
};

QTEST_GUILESS_MAIN(TestPtyLink)
#include "tst_pty_link.moc"
