// The link through the real ports: Qt's serial port on a pseudo-terminal and,
// where the behaviour is the same, the TCP port on a network serial server on
// loopback and a service's socket, all reached through the port folder as the
// panel reaches them.

#include "line_constants.h"
#include "line_settings.h"
#include "loopback_server.h"
#include "port_factory.h"
#include "port_paths.h"
#include "pty_pair.h"
#include "qt_platform.h"
#include "qt_serial_port.h"
#include "transaction_engine.h"

#include <atomic>
#include <QProcess>
#include <QSettings>
#include <QTest>
#include <QThread>
#include <sys/stat.h>
#include <unistd.h>

using namespace kavo;
using namespace kavo::test;
using namespace std::chrono_literals;

namespace {

// The far end of the panel's port as COM<n>, played by the test: a
// pseudo-terminal, a network serial server on loopback or a service's socket.
class FarEnd {
  public:
    explicit FarEnd(const QString& kind) {
        if (kind != QLatin1String("pty"))
            m_server = std::make_unique<LoopbackServer>(kind == QLatin1String("unix"));
        else
            m_pty = std::make_unique<PtyPair>();
    }
    bool linkAs(int number) {
        m_number = number;
        return m_server ? m_server->linkAs(portFolder(), number)
                        : m_pty->linkAs(portFolder(), number);
    }
    void write(const QByteArray& bytes) const {
        m_server ? m_server->write(bytes) : m_pty->write(bytes);
    }
    QByteArray read(int count) const {
        return m_server ? m_server->read(count, 2s) : m_pty->read(count, 2s);
    }
    // Unplugged, or the server switched off.
    void hangUp() {
        if (m_server)
            m_server->hangUp();
        if (m_pty) {
            m_pty.reset();
            // Its /dev/pts number goes back to the system, and any program's
            // next pseudo-terminal may take it meanwhile: the link points
            // where nothing comes back, as an unplugged adapter's device file.
            const QString link = QStringLiteral("%1/COM%2").arg(portFolder()).arg(m_number);
            QFile::remove(link);
            QFile::link(QStringLiteral("/dev/pts/unplugged"), link);
        }
    }
    bool comeBack(int number) {
        if (m_server)
            return m_server->listenAgain();
        m_pty = std::make_unique<PtyPair>();
        return linkAs(number);
    }
    PtyPair* pty() const { return m_pty.get(); }

  private:
    std::unique_ptr<PtyPair> m_pty;
    std::unique_ptr<LoopbackServer> m_server;
    int m_number = 0;
};

void addKinds() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("serial line") << "pty";
    QTest::newRow("network serial server") << "tcp";
    QTest::newRow("projector-sharing service") << "unix";
}

} // namespace

class TestPtyLink : public QObject {
    Q_OBJECT
  private slots:
    void startUpSendAndReply_data() { addKinds(); }
    void startUpSendAndReply() {
        QFETCH(QString, kind);
        TempConfigHome home;
        FarEnd far(kind);
        QVERIFY(far.linkAs(1));
        QCOMPARE(portDevicePath(1), portFolder() + QStringLiteral("/COM1"));

        QtSettingsStore store;
        QVERIFY(store.write(kStoreApplication, kStoreSection, kStoreComPort, QStringLiteral("1"))
                    .isEmpty());
        QVERIFY(QFile::exists(home.path() + QStringLiteral("/KAVO.conf")));

        AppValues values;
        QtPortFactory ports(linkedNetworkPorts());
        PortByNumber port(ports);
        QtTimerFactory timers;
        TransactionEngine engine(values, port, timers, store);
        QCOMPARE(engine.startUp(), TransactionEngine::StartUp::Opened);
        QVERIFY(port.isOpen());

        values.Cur_cmd = commandLine(u"CR0");
        engine.Hyouji(values.Cur_cmd, 1);
        QCOMPARE(far.read(4), QByteArray("CR0\r"));

        far.write("00");
        QTRY_COMPARE_WITH_TIMEOUT(engine.display().rxd, QStringLiteral(" 0 0 "), 2000);
        far.write("\r");
        QTRY_COMPARE_WITH_TIMEOUT(engine.display().rxd, QStringLiteral(" 0 0  [CR] "), 2000);
        QCOMPARE(engine.display().status, QStringLiteral(" Power ON"));

        engine.Form_QueryUnload();
        QVERIFY(!port.isOpen());
    }

    // The line as the projector needs it: 8 data bits, no parity, one stop bit
    // and no flow control, at either speed.
    void lineSettingsFromStore_data() {
        QTest::addColumn<QString>("baudRate");
        QTest::addColumn<QString>("line");
        QTest::newRow("96") << "96"
                            << "9600,N,8,1";
        QTest::newRow("192") << "192"
                             << "19200,N,8,1";
    }
    void lineSettingsFromStore() {
        QFETCH(QString, baudRate);
        QFETCH(QString, line);
        TempConfigHome home;
        PtyPair pty;
        QVERIFY(pty.linkAs(portFolder(), 3));
        QtSettingsStore store;
        QVERIFY(store.write(kStoreApplication, kStoreSection, kStoreComPort, QStringLiteral("3"))
                    .isEmpty());
        QVERIFY(store.write(kStoreApplication, kStoreSection, kStoreBaudRate, baudRate).isEmpty());
        AppValues values;
        QtSerialPort port(portDevicePath(3));
        QtTimerFactory timers;
        TransactionEngine engine(values, port, timers, store);
        QCOMPARE(engine.startUp(), TransactionEngine::StartUp::Opened);
        QCOMPARE(pty.slaveLine(), line);
        // The pseudo-terminal keeps 8 data bits without parity whatever it is
        // given; what the device was given tells those.
        QCOMPARE(port.lineSettings(), line);
    }

    // Which device a port number opens, and the name the operator sees for it.
    void portNumberToDevice_data() {
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("entry"); // what COM<number> in the port folder links to
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("openFailure");
        const QString noSuch = QStringLiteral("/dev/kavo-no-such-device");
        QTest::newRow("COM1 to a missing device")
            << 1 << noSuch << "<folder>/COM1" << noSuch + " - not present"
            << "No such device: " + noSuch + ".";
        QTest::newRow("COM15 to a missing device")
            << 15 << noSuch << "<folder>/COM15" << noSuch + " - not present"
            << "No such device: " + noSuch + ".";
        QTest::newRow("COM6 to a pty") << 6 << "<pty>"
                                       << "<folder>/COM6"
                                       << "<pty> - present" << QString();
        const QString stale = QStringLiteral("stale link left by a simulator that is no longer "
                                             "running");
        QTest::newRow("to a live pty, left by a simulator gone")
            << 2 << "<pty> <gone simulator>"
            << "<folder>/COM2"
            << "<folder>/COM2 - not present (" + stale + ")"
            << "No such device: <folder>/COM2 (" + stale + ").";
        QTest::newRow("a link whose text is an address")
            << 3 << "socket://127.0.0.1:1"
            << "<folder>/COM3"
            << "socket://127.0.0.1:1 - present"
            << "socket://127.0.0.1:1: connection refused (the server is not listening there, or "
               "another program is connected to it).";
        const QString none = QStringLiteral("unix:/run/kavo-none/a");
        QTest::newRow("a link whose text is a unix: name")
            << 7 << none << "<folder>/COM7" << none + " - not present (no such socket file)"
            << none +
                   ": no such socket file (the service is not running, or it listens elsewhere).";
        QTest::newRow("a symlink loop") << 4 << "<folder>/COM4"
                                        << "<folder>/COM4"
                                        << "<folder>/COM4 - not present (a symlink loop)"
                                        << "<folder>/COM4 is a symlink loop.";
        QTest::newRow("a line end in the target")
            << 5 << "/dev/kavo\nCOM6\t/dev/ttyS0"
            << "<folder>/COM5"
            << "/dev/kavo\\nCOM6\\t/dev/ttyS0 - not present"
            << "No such device: /dev/kavo\\nCOM6\\t/dev/ttyS0.";
        QTest::newRow("port 1 without entry") << 1 << QString() << "/dev/ttyS0"
                                              << "/dev/ttyS0 - " << QString();
        QTest::newRow("port 15 without entry") << 15 << QString() << "/dev/ttyS14"
                                               << "/dev/ttyS14 - " << QString();
    }
    void portNumberToDevice() {
        QFETCH(int, number);
        QFETCH(QString, entry);
        QFETCH(QString, device);
        QFETCH(QString, shown);
        QFETCH(QString, openFailure);
        TempConfigHome home;
        PtyPair pty;
        const auto fill = [&](QString text) {
            return text.replace(QStringLiteral("<folder>"), portFolder())
                .replace(QStringLiteral("<pty>"), pty.slavePath());
        };
        QDir().mkpath(portFolder());
        const QString link = portFolder() + QStringLiteral("/COM%1").arg(number);
        const QString gone = QStringLiteral(" <gone simulator>");
        if (entry.endsWith(gone)) {
            // The record a simulator leaves beside its link, naming a process that has ended.
            entry.chop(gone.size());
            QProcess ended;
            ended.start(QStringLiteral("true"), QStringList());
            QVERIFY(ended.waitForFinished());
            QFile record(simulatorRecordPath(link));
            QVERIFY(record.open(QIODevice::WriteOnly));
            record.write(QByteArray::number(ended.processId()) + '\n' +
                         QFile::encodeName(fill(entry)) + '\n');
        }
        if (!entry.isEmpty())
            QVERIFY(makePortEntry(portFolder(), number, PortEntryKind::Link,
                                  QFile::encodeName(fill(entry))));
        QCOMPARE(portDevicePath(number), fill(device));
        // Without an entry, whether the device is there depends on the machine.
        QVERIFY2(describePortDevice(number, linkedNetworkPorts()).startsWith(fill(shown)),
                 qPrintable(describePortDevice(number, linkedNetworkPorts())));
        if (entry.isEmpty())
            return;
        QtPortFactory ports(linkedNetworkPorts());
        PortByNumber port(ports);
        port.setPortNumber(number);
        QCOMPARE(port.open().reason, fill(openFailure));
        QCOMPARE(port.isOpen(), openFailure.isEmpty());
    }

    // A lost line closes the port and is reported once, however often the
    // device repeats its error; other errors (modem lines a pseudo-terminal
    // lacks and the like) change nothing.
    void deviceErrors_data() {
        QTest::addColumn<QSerialPort::SerialPortError>("error"); // none: the other end hangs up
        QTest::addColumn<bool>("lost");
        QTest::newRow("hang-up") << QSerialPort::NoError << true;
        QTest::newRow("read") << QSerialPort::ReadError << true;
        QTest::newRow("write") << QSerialPort::WriteError << true;
        QTest::newRow("resource (adapter pulled)") << QSerialPort::ResourceError << true;
        QTest::newRow("unsupported operation") << QSerialPort::UnsupportedOperationError << false;
        QTest::newRow("timeout") << QSerialPort::TimeoutError << false;
    }
    void deviceErrors() {
        QFETCH(QSerialPort::SerialPortError, error);
        QFETCH(bool, lost);
        TempConfigHome home;
        auto pty = std::make_unique<PtyPair>();
        QVERIFY(pty->linkAs(portFolder(), 1));
        QtSerialPort port(portDevicePath(1));
        QVERIFY(port.open());
        int lostEvents = 0;
        port.setEventHandler([&](CommEvent event) { lostEvents += event == CommEvent::LineLost; });
        if (error == QSerialPort::NoError) {
            pty.reset();
            QTRY_VERIFY_WITH_TIMEOUT(!port.isOpen(), 2000);
            QTest::qWait(100);
        } else {
            auto* device = port.findChild<QSerialPort*>();
            QVERIFY(device);
            for (int i = 0; i < 3; ++i)
                emit device->errorOccurred(error);
        }
        QCOMPARE(lostEvents, lost ? 1 : 0);
        QCOMPARE(port.isOpen(), !lost);
    }

    // The lock is the device's own: a port held elsewhere names its holder,
    // and a lock file named after the link (which any local user can make
    // in the shared lock folder) does not block the port.
    void portLocks_data() {
        QTest::addColumn<bool>("heldByPort");
        QTest::addColumn<bool>("opens");
        QTest::newRow("held by another open port") << true << false;
        QTest::newRow("lock named after the link") << false << true;
    }
    void portLocks() {
        QFETCH(bool, heldByPort);
        TempConfigHome home;
        PtyPair pty;
        QVERIFY(pty.linkAs(portFolder(), 1));
        QtSerialPort first(portDevicePath(1));
        QProcess holder; // a live process of another program, as a lock's owner
        QFile linkLock(serialLockFilePath(portDevicePath(1)));
        if (heldByPort) {
            QVERIFY(first.open());
        } else {
            holder.start(QStringLiteral("sleep"), {QStringLiteral("60")});
            QVERIFY(holder.waitForStarted());
            QVERIFY(linkLock.open(QIODevice::NewOnly | QIODevice::WriteOnly));
            linkLock.write(QByteArray::number(holder.processId()) + "\nsleep\n" +
                           QSysInfo::machineHostName().toLatin1() + '\n');
            linkLock.close();
        }
        QtSerialPort second(portDevicePath(1));
        const OpenResult result = second.open();
        linkLock.remove();
        holder.kill();
        holder.waitForFinished();
        QTEST(result.ok, "opens");
        if (heldByPort) {
            QCOMPARE(result.reason,
                     QStringLiteral("%1 is in use: process %2 holds its lock file %3.")
                         .arg(pty.slavePath())
                         .arg(QCoreApplication::applicationPid())
                         .arg(serialLockFilePath(pty.slavePath())));
            QVERIFY(first.isOpen());
        }
    }

    void lineBackIsReopenedSilently_data() { addKinds(); }
    void lineBackIsReopenedSilently() {
        QFETCH(QString, kind);
        TempConfigHome home;
        FarEnd far(kind);
        QVERIFY(far.linkAs(2));
        QtSettingsStore store;
        QVERIFY(store.write(kStoreApplication, kStoreSection, kStoreComPort, QStringLiteral("2"))
                    .isEmpty());
        QVERIFY(store.write(kStoreApplication, kStoreSection, kStoreBaudRate, QStringLiteral("96"))
                    .isEmpty());
        AppValues values;
        QtPortFactory ports(linkedNetworkPorts());
        PortByNumber port(ports);
        QtTimerFactory timers;
        TransactionEngine engine(values, port, timers, store);
        QCOMPARE(engine.startUp(), TransactionEngine::StartUp::Opened);
        int changes = 0;
        engine.setDisplayChangedHandler([&] { ++changes; });

        const QString before = shownDevice(portDevicePath(2));
        far.hangUp();
        QTRY_VERIFY_WITH_TIMEOUT(!engine.display().notice.isEmpty(), 2000);
        QVERIFY(!port.isOpen());
        QTest::qWait(100);
        QCOMPARE(changes, 1);                      // said once
        engine.Hyouji(QStringLiteral("C00\r"), 1); // still gone: nothing happens
        QVERIFY(!port.isOpen());
        QVERIFY(!engine.display().notice.isEmpty());

        QVERIFY(far.comeBack(2));
        engine.Hyouji(QStringLiteral("C01\r"), 1);
        QVERIFY(port.isOpen());
        // Silent on the same device; a new pseudo-terminal may have another number.
        const QString after = shownDevice(portDevicePath(2));
        QCOMPARE(engine.display().notice,
                 after == before
                     ? QString()
                     : QStringLiteral("port reopened on %1 (it was %2)").arg(after, before));
        QCOMPARE(far.read(4), QByteArray("C01\r"));
        if (far.pty())
            QCOMPARE(far.pty()->slaveSpeed(), 9600);
    }

    void floodIsCappedAndNextSendWorks() {
        TempConfigHome home;
        PtyPair pty;
        QVERIFY(pty.linkAs(portFolder(), 1));
        FakeStore store;
        AppValues values;
        QtPortFactory ports(linkedNetworkPorts());
        PortByNumber port(ports);
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
            // " Z Z ...": one blank and one letter for each character held.
            largest = std::max(largest, (engine.display().rxd.size() - 1) / 2);
        }
        stop = true;
        flooder->wait();
        QVERIFY(largest > 0);
        QVERIFY(largest <= kRxBufCapacity);
        // What the flood left in the line is read (and dropped) before the
        // next exchange, however long a loaded machine takes for it. A busy
        // kernel may pass on the last of it after the line looked empty:
        // quiet means empty twice, 50 ms apart.
        QDeadlineTimer drained(10000);
        bool quiet = false;
        while (!quiet && !drained.hasExpired()) {
            QTRY_COMPARE_WITH_TIMEOUT(pty.slavePending(), 0, 10000);
            QTest::qWait(50);
            quiet = pty.slavePending() == 0;
        }
        QVERIFY(quiet);

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
        QtPortFactory ports(linkedNetworkPorts());
        PortByNumber port(ports);
        QtTimerFactory timers;
        TransactionEngine engine(values, port, timers, store);
        const auto outcome = engine.startUp();
        QCOMPARE(outcome == TransactionEngine::StartUp::Opened, opens);
        QCOMPARE(port.isOpen(), opens);
    }

    // Joining a group is advised only where the group is a serial-line one.
    void permissionAdvice_data() {
        QTest::addColumn<QString>("group");
        QTest::addColumn<QString>("usermod");
        QTest::newRow("dialout") << "dialout"
                                 << "sudo usermod -aG dialout $USER";
        QTest::newRow("uucp") << "uucp"
                              << "sudo usermod -aG uucp $USER";
        QTest::newRow("serial") << "serial"
                                << "sudo usermod -aG serial $USER";
        QTest::newRow("tty: writes to every terminal") << "tty"
                                                       << "";
        QTest::newRow("root") << "root"
                              << "";
        QTest::newRow("wheel") << "wheel"
                               << "";
        QTest::newRow("disk") << "disk"
                              << "";
        QTest::newRow("unknown group") << ""
                                       << "";
    }
    void permissionAdvice() {
        QFETCH(QString, group);
        QFETCH(QString, usermod);
        const QString reason = permissionDeniedReason(QStringLiteral("/dev/ttyUSB0"), group);
        QVERIFY(reason.startsWith(QStringLiteral("Permission denied for /dev/ttyUSB0.")));
        if (usermod.isEmpty()) {
            QVERIFY2(!reason.contains(QStringLiteral("usermod")), qPrintable(reason));
            QVERIFY(reason.contains(QStringLiteral("udev rule")));
        } else {
            QVERIFY2(reason.contains(usermod), qPrintable(reason));
        }
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
        // Opening a FIFO would wait for a writer: nothing is read, nothing written.
        QTest::newRow("store is a FIFO") << "fifo"
                                         << ": it is not a regular file";
    }
    void storeWriteFailureSaysWhy() {
        QFETCH(QString, blocker);
        QFETCH(QString, reason);
        TempConfigHome home;
        QString store = home.path() + QStringLiteral("/KAVO.conf");
        if (blocker == QLatin1String("folder")) {
            QVERIFY(QDir().mkpath(store));
        } else if (blocker == QLatin1String("fifo")) {
            QVERIFY(::mkfifo(QFile::encodeName(store).constData(), 0600) == 0);
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
        if (blocker == QLatin1String("fifo")) {
            QCOMPARE(settings.read(kStoreApplication, kStoreSection, kStoreComPort, "0"), "0");
            QCOMPARE(settings.readProblem(kStoreApplication), "cannot read " + store + reason);
        }
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
