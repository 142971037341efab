// The panel and the simulated projector as two processes on a real
// pseudo-terminal, or on loopback TCP with the simulator as a network serial
// server. The panel's timers run on the fake clock; only the line itself
// takes real (short, bounded) time.

#include "application.h"
#include "fakes.h"
#include "form1.h"
#include "loopback_server.h"
#include "port_factory.h"
#include "port_paths.h"
#include "pty_pair.h"
#include "window_controls.h"

#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

using namespace kavo;
using namespace kavo::test;
using std::chrono::milliseconds;

namespace {

// The simulator as COM1: its own link to a pseudo-terminal, or, listening on
// loopback, an entry holding its socket:// name.
class Simulator {
  public:
    Simulator(const QStringList& options, bool network = false) : m_network(network) {
        m_process.setProgram(QStringLiteral(KAVO_SIM_PATH));
        const QStringList line =
            network ? QStringList{"--listen", "0"} : QStringList{"--port", "1"};
        m_process.setArguments(line + QStringList{"--seed", "7"} + options);
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.start();
    }
    ~Simulator() {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
    }
    bool ready() {
        const QString entry = portFolder() + QStringLiteral("/COM1");
        static const QRegularExpression listening(QStringLiteral("listening on (socket://\\S+),"));
        QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired()) {
            if (!m_network && QFileInfo(entry).isSymLink())
                return true;
            if (const auto found = listening.match(log()); m_network && found.hasMatch())
                return writeEntry(portFolder(), 1, found.captured(1).toLatin1() + '\n');
            QTest::qWait(20);
        }
        return false;
    }
    QString log() {
        m_log += QString::fromLocal8Bit(m_process.readAllStandardOutput());
        return m_log;
    }
    int count(const QString& piece) { return int(log().count(piece)); }

  private:
    QProcess m_process;
    QString m_log;
    bool m_network;
};

void addKinds() {
    QTest::addColumn<bool>("network");
    QTest::newRow("serial line") << false;
    QTest::newRow("network serial server") << true;
}

struct Panel {
    QtPortFactory ports{linkedNetworkPorts()};
    PortByNumber port{ports};
    FakeSettingsStore store;
    FakeClock clock;
    FakeMessageBox messages;
    std::unique_ptr<Application> app;

    Panel() {
        store.setStartUp("1", "192");
        app = std::make_unique<Application>(
            Platform{port, store, clock, messages, linkedNetworkPorts()});
        app->form1().endProgram = [] {};
        app->start();
    }
    QPushButton* button(int number) {
        return control<QPushButton>(app->form1(), "Command", number);
    }
    QString status() { return control<QLabel>(app->form1(), "Label", 25)->text(); }
    QString reply() { return control<QLabel>(app->form1(), "Label", 12)->text(); }
    // A status read, waiting (bounded) for its decoded text.
    void read(int number, const QString& expected) {
        QTest::mouseClick(button(number), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(status(), expected, 5000);
        // Let the whole reply in before the next command, as an operator would.
        QTRY_VERIFY_WITH_TIMEOUT(reply().endsWith(QStringLiteral(" [CR] ")), 5000);
    }
};

} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT
  private slots:
    void powerOnThenStatusReads_data() { addKinds(); }
    void powerOnThenStatusReads() {
        QFETCH(bool, network);
        TempConfigHome home;
        Simulator sim({"--warmup-ms", "300"}, network);
        QVERIFY(sim.ready());
        Panel panel;
        QVERIFY(panel.port.isOpen());

        panel.read(44, QStringLiteral(" Stand by"));
        QTest::mouseClick(panel.button(17), Qt::LeftButton); // POWER ON
        QTRY_COMPARE_WITH_TIMEOUT(panel.reply(), QStringLiteral("  [ACK] "), 5000);
        panel.read(44, QStringLiteral(" Count down"));
        QTest::qWait(400);
        panel.read(44, QStringLiteral(" Power ON"));

        QTest::mouseClick(panel.button(75), Qt::LeftButton); // ECO1
        QTRY_COMPARE_WITH_TIMEOUT(panel.reply(), QStringLiteral("  [ACK] "), 5000);
        panel.read(76, QStringLiteral(" Lamp Mode is Eco"));
        panel.read(55, QStringLiteral(" Lamp is ON"));

        QTest::mouseClick(panel.button(54), Qt::LeftButton); // TEMP
        QTRY_VERIFY_WITH_TIMEOUT(panel.status().endsWith(" deg C "), 5000);
        QCOMPARE(panel.status().count(QStringLiteral(" deg C ")), 3);

        QTest::mouseClick(panel.button(46), Qt::LeftButton); // LAMP-TIME
        QTRY_VERIFY_WITH_TIMEOUT(panel.status().endsWith("   Hour Use"), 5000);
        QVERIFY(sim.count(QStringLiteral("in: C R 0  [CR] ")) >= 3);
    }

    void holdOnVolumeUpSendsElevenAcknowledged_data() { addKinds(); }
    void holdOnVolumeUpSendsElevenAcknowledged() {
        QFETCH(bool, network);
        TempConfigHome home;
        Simulator sim({}, network);
        QVERIFY(sim.ready());
        Panel panel;
        QTest::mousePress(panel.button(1), Qt::LeftButton);
        for (int tick = 0; tick < 10; ++tick) {
            panel.clock.advance(milliseconds(100));
            QTest::qWait(5);
        }
        QTest::mouseRelease(panel.button(1), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(sim.count(QStringLiteral("in: C 0 9  [CR] ")), 11, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(sim.count(QStringLiteral("out:  [ACK] ")), 11, 5000);
    }

    void silentProjectorShowsTimeoutMarker_data() { addKinds(); }
    void silentProjectorShowsTimeoutMarker() {
        QFETCH(bool, network);
        TempConfigHome home;
        Simulator sim({"--no-answer"}, network);
        QVERIFY(sim.ready());
        Panel panel;
        QTest::mouseClick(panel.button(44), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(sim.count(QStringLiteral("in: C R 0")) == 1, 5000);
        panel.clock.advance(milliseconds(1000));
        QCOMPARE(panel.reply(), QStringLiteral(" X X X X"));
        QCOMPARE(panel.status(), QString());
    }

    void splitRepliesStillDecode_data() { addKinds(); }
    void splitRepliesStillDecode() {
        QFETCH(bool, network);
        TempConfigHome home;
        Simulator sim({"--split", "1", "--split-gap-ms", "20"}, network);
        QVERIFY(sim.ready());
        Panel panel;
        panel.read(45, QStringLiteral(" Input 1"));
        panel.read(47, QStringLiteral(" Normally"));
    }

    // The server drops the connection: the title bar says so, and the next
    // command connects again and is answered.
    void droppedConnectionHealsOnTheNextSend() {
        TempConfigHome home;
        Simulator sim({"--hang-up-after", "1"}, true);
        QVERIFY(sim.ready());
        Panel panel;
        QVERIFY(panel.port.isOpen());
        panel.read(44, QStringLiteral(" Stand by"));
        Form1& form1 = panel.app->form1();
        QTRY_VERIFY_WITH_TIMEOUT(form1.windowTitle().contains(QLatin1String("lost")), 5000);
        QVERIFY(!panel.port.isOpen());
        QCOMPARE(sim.count(QStringLiteral("client 127.0.0.1:")), 1);

        QTest::mouseClick(panel.button(45), Qt::LeftButton); // MODE
        QVERIFY(panel.port.isOpen());
        QVERIFY(!form1.windowTitle().contains(QLatin1String("lost")));
        QTRY_COMPARE_WITH_TIMEOUT(panel.status(), QStringLiteral(" Input 1"), 5000);
        QCOMPARE(sim.count(QStringLiteral("client 127.0.0.1:")), 2);
    }
};

QTEST_MAIN(TestEndToEnd)
#include "tst_end_to_end.moc"
