// The link through the real QSerialPort implementation on a pseudo-terminal.

#include "line_settings.h"
#include "link_constants.h"
#include "port_paths.h"
#include "pty_pair.h"
#include "qt_platform.h"
#include "qt_serial_port.h"
#include "transaction_engine.h"

#include <atomic>
#include <QSettings>
#include <QTest>
#include <QThread>
#include <unistd.h>

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
        QVERIFY(store.write(kStoreApplication, kStoreSection, kStoreComPort, QStringLiteral("1"))
                    .isEmpty());
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
        QVERIFY(store.write(kStoreApplication, kStoreSection, kStoreComPort, QStringLiteral("3"))
                    .isEmpty());
        QVERIFY(store.write(kStoreApplication, kStoreSection, kStoreBaudRate, QStringLiteral("96"))
                    .isEmpty());
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
        QVERIFY2(result.reason.contains(QStringLiteral("No such device")),
                 qPrintable(result.reason));
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

    void busyPortSaysInUse() {
        TempConfigHome home;
        PtyPair pty;
        QVERIFY(pty.linkAs(portFolder(), 1));
        QtSerialPort first;
        first.setPortNumber(1);
        QVERIFY(first.open());
        QtSerialPort second;
        second.setPortNumber(1);
        const OpenResult result = second.open();
        QVERIFY(!result);
        QVERIFY2(result.reason.contains(QStringLiteral("in use")), qPrintable(result.reason));
        QVERIFY(first.isOpen());
    }

    void deviceBackIsReopenedSilently() {
        TempConfigHome home;
        auto pty = std::make_unique<PtyPair>();
        QVERIFY(pty->linkAs(portFolder(), 2));
        QtSettingsStore store;
        QVERIFY(store.write(kStoreApplication, kStoreSection, kStoreComPort, QStringLiteral("2"))
                    .isEmpty());
        QVERIFY(store.write(kStoreApplication, kStoreSection, kStoreBaudRate, QStringLiteral("96"))
                    .isEmpty());
        AppValues values;
        QtSerialPort port;
        QtTimerFactory timers;
        TransactionEngine engine(values, port, timers, store);
        QCOMPARE(engine.startUp(), TransactionEngine::StartUp::Opened);

        pty.reset(); // unplugged
        QTRY_VERIFY_WITH_TIMEOUT(!engine.display().notice.isEmpty(), 2000);
        QVERIFY(!port.isOpen());
        engine.Hyouji(QStringLiteral("C00\r"), 1); // still gone: nothing happens
        QVERIFY(!port.isOpen());

        PtyPair back; // plugged in again
        QVERIFY(back.linkAs(portFolder(), 2));
        engine.Hyouji(QStringLiteral("C01\r"), 1);
        QVERIFY(port.isOpen());
        QVERIFY(engine.display().notice.isEmpty());
        QCOMPARE(back.read(4, 2s), QByteArray("C01\r"));
        QCOMPARE(back.slaveSpeed(), 9600);
    }

    void floodIsCappedAndNextSendWorks() {
        TempConfigHome home;
        PtyPair pty;
        QVERIFY(pty.linkAs(portFolder(), 1));
        FakeStore store;
        AppValues values;
        QtSerialPort port;
        QtTimerFactory timers;
        TransactionEngine engine(values, port, timers, store);
        QCOMPARE(engine.startUp(), TransactionEngine::StartUp::Opened);
        values.Cur_cmd = commandLine(u"CR0");
        engine.Hyouji(values.Cur_cmd, 1);
        QCOMPARE(pty.read(4, 2s), QByteArray("CR0\r"));

        std::atomic<bool> stop = false;
        std::unique_ptr<QThread> flooder(QThread::create([&] {
            const QByteArray noise(4096, 'Z');
            while (!stop)
                pty.write(noise);
        }));
        flooder->start();
        qsizetype largest = 0;
        QDeadlineTimer deadline(1500);
        while (!deadline.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            largest = std::max(largest, engine.Rx_buf().size());
        }
        stop = true;
        flooder->wait();
        QVERIFY(largest > 0);
        QVERIFY(largest <= kRxBufCapacity);
        // What the flood left in the line is read (and dropped) before the
        // next exchange, however long a loaded machine takes for it.
        QTRY_COMPARE_WITH_TIMEOUT(pty.slavePending(), 0, 10000);
        QTest::qWait(50);
        QCOMPARE(pty.slavePending(), 0);

        engine.Hyouji(values.Cur_cmd, 1);
        QCOMPARE(pty.read(4, 2s).right(4), QByteArray("CR0\r"));
        pty.write("80\r");
        QTRY_COMPARE_WITH_TIMEOUT(engine.display().status, QStringLiteral(" Stand by"), 2000);
    }

    void handEditedSettingsFile_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<bool>("opens");
        QTest::newRow("list") << QByteArray("[StartUP]\nComPort=1, 2\nBaudRate=96\n") << true;
        QTest::newRow("blank padded") << QByteArray("[StartUP]\nComPort=\"  1\"\n") << true;
        QTest::newRow("byte array") << QByteArray("[StartUP]\nComPort=@ByteArray(1)\n") << true;
        QTest::newRow("variant junk")
            << QByteArray("[StartUP]\nComPort=@Variant(\\0\\0)\n") << false;
        QTest::newRow("empty") << QByteArray("[StartUP]\nComPort=\n") << false;
        QTest::newRow("fraction") << QByteArray("[StartUP]\nComPort=0.4\n") << false;
        QTest::newRow("binary noise") << QByteArray("\x01\xff[StartUP\nComPort=\x80\n") << false;
        QTest::newRow("10 kB") << "[StartUP]\nComPort=" + QByteArray(10240, '1') + "\n" << false;
    }
    void handEditedSettingsFile() {
        QFETCH(QByteArray, file);
        QFETCH(bool, opens);
        TempConfigHome home;
        PtyPair pty;
        QVERIFY(pty.linkAs(portFolder(), 1));
        QFile conf(home.path() + QStringLiteral("/KAVO.conf"));
        QVERIFY(conf.open(QIODevice::WriteOnly));
        conf.write(file);
        conf.close();
        QtSettingsStore store;
        AppValues values;
        QtSerialPort port;
        QtTimerFactory timers;
        TransactionEngine engine(values, port, timers, store);
        const auto outcome = engine.startUp();
        QCOMPARE(outcome == TransactionEngine::StartUp::Opened, opens);
        QCOMPARE(port.isOpen(), opens);
    }

    // A store that cannot be written says so, and why.
    void storeWriteFailureSaysWhy_data() {
        QTest::addColumn<QString>("blocker");
        QTest::addColumn<QString>("reason");
        QTest::newRow("store is a folder") << "folder"
                                           << ": it is a folder";
        QTest::newRow("config home under a file") << "file"
                                                  << ": not a directory";
        QTest::newRow("read-only folder") << "read-only"
                                          << ": permission denied";
    }
    void storeWriteFailureSaysWhy() {
        QFETCH(QString, blocker);
        QFETCH(QString, reason);
        TempConfigHome home;
        QString store = home.path() + QStringLiteral("/KAVO.conf");
        if (blocker == QLatin1String("folder")) {
            QVERIFY(QDir().mkpath(store));
        } else if (blocker == QLatin1String("file")) {
            QFile file(home.path() + QStringLiteral("/plain"));
            QVERIFY(file.open(QIODevice::WriteOnly));
            qputenv("XDG_CONFIG_HOME", QFile::encodeName(file.fileName() + QStringLiteral("/sub")));
            store = file.fileName() + QStringLiteral("/sub/KAVO.conf");
        } else {
            if (::geteuid() == 0)
                QSKIP("permissions do not bind root");
            QVERIFY(
                QFile::setPermissions(home.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        }
        QtSettingsStore settings;
        const QString failure =
            settings.write(kStoreApplication, kStoreSection, kStoreComPort, QStringLiteral("4"));
        QFile::setPermissions(home.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                               QFileDevice::ExeOwner);
        QCOMPARE(failure, QStringLiteral("cannot write ") + store + reason);
    }

  private:
    // A store with port 1 at 19200 baud, kept in memory.
    struct FakeStore final : SettingsStore {
        QString read(const QString&, const QString&, const QString& key,
                     const QString& fallback) const override {
            return key == kStoreComPort ? QStringLiteral("1") : fallback;
        }
        QString write(const QString&, const QString&, const QString&, const QString&) override {
            return {};
        }
    };
};

QTEST_GUILESS_MAIN(TestPtyLink)
#include "tst_pty_link.moc"
