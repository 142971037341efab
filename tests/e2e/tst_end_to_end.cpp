// The panel and the simulated projector as two processes on a real
// pseudo-terminal. The panel's timers run on the fake clock; only the line
// itself takes real (short, bounded) time.

#include "application.h"
#include "fakes.h"
#include "form1.h"
#include "port_factory.h"
#include "pty_pair.h"

#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTest>

using namespace kavo;
using namespace kavo::test;
using std::chrono::milliseconds;

namespace {

class Simulator {
  public:
    explicit Simulator(const QStringList& options) {
        m_process.setProgram(QStringLiteral(KAVO_SIM_PATH));
        m_process.setArguments(QStringList{"--port", "1", "--seed", "7"} + options);
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.start();
    }
    ~Simulator() {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
    }
    bool ready(const QString& entry) {
        QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired() && !QFileInfo(entry).isSymLink())
            QTest::qWait(20);
        return QFileInfo(entry).isSymLink();
    }
    QString log() {
        m_log += QString::fromLocal8Bit(m_process.readAllStandardOutput());
        return m_log;
    }
    int count(const QString& piece) { return int(log().count(piece)); }

  private:
    QProcess m_process;
    QString m_log;
};

struct Panel {
    AppValues values;
    QtPortFactory ports;
    PortByNumber port{ports};
    FakeSettingsStore store;
    FakeClock clock;
    FakeMessageBox messages;
    std::unique_ptr<Application> app;

    Panel() {
        store.setStartUp("1", "192");
        app = std::make_unique<Application>(values, Platform{port, store, clock, messages});
        app->form1().endProgram = [] {};
        app->start();
    }
    QPushButton* button(int number) { return app->form1().Command(number); }
    QString status() { return app->form1().Label25->text(); }
    QString reply() { return app->form1().Label12->text(); }
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
    void powerOnThenStatusReads() {
        TempConfigHome home;
        Simulator sim({"--warmup-ms", "300"});
        QVERIFY(sim.ready(home.portFolder() + "/COM1"));
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

    void holdOnVolumeUpSendsElevenAcknowledged() {
        TempConfigHome home;
        Simulator sim({});
        QVERIFY(sim.ready(home.portFolder() + "/COM1"));
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

    void silentProjectorShowsTimeoutMarker() {
        TempConfigHome home;
        Simulator sim({"--no-answer"});
        QVERIFY(sim.ready(home.portFolder() + "/COM1"));
        Panel panel;
        QTest::mouseClick(panel.button(44), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(sim.count(QStringLiteral("in: C R 0")) == 1, 5000);
        panel.clock.advance(milliseconds(1000));
        QCOMPARE(panel.reply(), QStringLiteral(" X X X X"));
        QCOMPARE(panel.status(), QString());
    }

    void splitRepliesStillDecode() {
        TempConfigHome home;
        Simulator sim({"--split", "1", "--split-gap-ms", "20"});
        QVERIFY(sim.ready(home.portFolder() + "/COM1"));
        Panel panel;
        panel.read(45, QStringLiteral(" Input 1"));
        panel.read(47, QStringLiteral(" Normally"));
    }
};

QTEST_MAIN(TestEndToEnd)
#include "tst_end_to_end.moc"
