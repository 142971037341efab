#include "fakes.h"
#include "line_constants.h"
#include "line_settings.h"
#include "trace.h"
#include "transaction_engine.h"

#include <QTest>

using namespace kavo;
using namespace kavo::test;
using std::chrono::milliseconds;

namespace {

const QString kCrText(QChar(0x0D));

struct Rig {
    AppValues values;
    FakeSerialPort port;
    FakeClock clock;
    FakeSettingsStore store;
    TransactionEngine engine{values, port, clock, store};

    // An opened link with the start-up intervals, as after a normal start.
    static void open(Rig& rig) {
        rig.store.setStartUp(QStringLiteral("1"), QStringLiteral("192"));
        QCOMPARE(rig.engine.startUp(), TransactionEngine::StartUp::Opened);
    }
    void send(const QString& command) {
        values.Cur_cmd = commandLine(command);
        engine.Hyouji(values.Cur_cmd, 1);
    }
    const LinkDisplay& shown() const { return engine.display(); }
};

} // namespace

class TestTransactionEngine : public QObject {
    Q_OBJECT
  private slots:
    void startUpWithoutUsablePort_data() {
        QTest::addColumn<QString>("comPort");
        QTest::newRow("0") << "0";
        QTest::newRow("16") << "16";
        QTest::newRow("-1") << "-1";
        QTest::newRow("nothing stored") << QString();
        QTest::newRow("letters") << "abc";
        QTest::newRow("10 kB") << QString(10240, QLatin1Char('7'));
    }
    void startUpWithoutUsablePort() {
        QFETCH(QString, comPort);
        Rig rig;
        rig.store.setStartUp(comPort, QStringLiteral("96"));
        QCOMPARE(rig.engine.startUp(), TransactionEngine::StartUp::NeedsPortDialog);
        QVERIFY(!rig.port.isOpen());
        QCOMPARE(rig.port.openAttempts, 0);
        // The creation intervals stay in force.
        QCOMPARE(rig.engine.Timer2().interval(), milliseconds(5500));
        QCOMPARE(rig.engine.Timer4().interval(), milliseconds(6000));
    }

    void startUpOpensStoredPort_data() {
        QTest::addColumn<QString>("comPort");
        QTest::addColumn<QString>("baudRate");
        QTest::addColumn<QString>("opened");
        QTest::addColumn<int>("baudCode");
        QTest::newRow("15 at 96") << "15"
                                  << "96"
                                  << "15@9600,N,8,1" << 96;
        QTest::newRow("leading blank 12") << " 12"
                                          << "96"
                                          << "12@9600,N,8,1" << 96;
        QTest::newRow("baud 192") << "3"
                                  << "192"
                                  << "3@19200,N,8,1" << 192;
        QTest::newRow("baud 0") << "3"
                                << "0"
                                << "3@19200,N,8,1" << 192;
        QTest::newRow("baud 9600") << "3"
                                   << "9600"
                                   << "3@19200,N,8,1" << 192;
        QTest::newRow("baud absent") << "3" << QString() << "3@19200,N,8,1" << 192;
        QTest::newRow("baud beyond a byte") << "3"
                                            << "70000"
                                            << "3@19200,N,8,1" << 192;
    }
    void startUpOpensStoredPort() {
        QFETCH(QString, comPort);
        QFETCH(QString, baudRate);
        Rig rig;
        rig.store.setStartUp(comPort, baudRate);
        QCOMPARE(rig.engine.startUp(), TransactionEngine::StartUp::Opened);
        QFETCH(QString, opened);
        QCOMPARE(rig.port.openedAt, QStringList{opened});
        QTEST(int(rig.values.Baud_code), "baudCode");
        QCOMPARE(rig.engine.Timer2().interval(), milliseconds(1000));
        QCOMPARE(rig.engine.Timer4().interval(), milliseconds(1200));
        QVERIFY(!rig.engine.Timer2().isEnabled());
        QCOMPARE(rig.store.writes, 0);
    }

    void startUpWhenOpenFails() {
        Rig rig;
        rig.store.setStartUp(QStringLiteral("4"), QStringLiteral("96"));
        rig.port.failOpen = true;
        QCOMPARE(rig.engine.startUp(), TransactionEngine::StartUp::NeedsPortDialog);
        QCOMPARE(rig.engine.Timer2().interval(), milliseconds(5500));
        QCOMPARE(rig.values.Com_port, std::int16_t(4));
    }

    void sendWritesLineAndShowsTrace() {
        Rig rig;
        Rig::open(rig);
        rig.send(QStringLiteral("CR0"));
        QCOMPARE(rig.port.takeWritten(), QByteArray("CR0\r"));
        QCOMPARE(rig.shown().txd, QStringLiteral(" C R 0  [CR] "));
        QVERIFY(rig.shown().legendCr);
        QVERIFY(rig.engine.Timer2().isEnabled());
        QVERIFY(rig.engine.Timer4().isEnabled());
        // Waiting for the reply: the window's end says none came.
        rig.clock.advance(kStartUpReplyWindow);
        QCOMPARE(rig.shown().rxd, kNoReplyMarker);
    }

    void noReplyMarksTimeoutThenClears() {
        Rig rig;
        Rig::open(rig);
        rig.send(QStringLiteral("CF KEYDIS NONE"));
        QVERIFY(rig.shown().legendSpace);
        rig.clock.advance(milliseconds(999));
        QCOMPARE(rig.shown().rxd, QString());
        QVERIFY(rig.shown().legendCr);
        rig.clock.advance(milliseconds(1));
        QCOMPARE(rig.shown().rxd, kNoReplyMarker);
        QVERIFY(!rig.shown().legendCr && !rig.shown().legendSpace && !rig.shown().legendAck);
        QVERIFY(!rig.engine.Timer2().isEnabled());
        QVERIFY(!rig.shown().txd.isEmpty());
        rig.clock.advance(milliseconds(200));
        QCOMPARE(rig.shown().txd, QString());
        QCOMPARE(rig.shown().rxd, QString());
        QCOMPARE(rig.shown().status, QString());
        QVERIFY(!rig.engine.Timer4().isEnabled());
    }

    void replyInTwoBatches() {
        Rig rig;
        Rig::open(rig);
        rig.send(QStringLiteral("CR0"));
        rig.clock.advance(milliseconds(40));
        rig.port.receive(QStringLiteral("0"));
        QCOMPARE(rig.shown().rxd, QStringLiteral(" 0 "));
        QCOMPARE(rig.shown().status, QString());
        rig.port.receive(QStringLiteral("0") + kCrText);
        QCOMPARE(rig.shown().rxd, QStringLiteral(" 0 0  [CR] "));
        QCOMPARE(rig.shown().status, QStringLiteral(" Power ON"));
        rig.clock.advance(milliseconds(960));
        QCOMPARE(rig.shown().rxd, QStringLiteral(" 0 0  [CR] ")); // no timeout marker
        // The window's end emptied the buffer: what comes now is shown alone.
        rig.port.receive(QStringLiteral("x"));
        QCOMPARE(rig.shown().rxd, QStringLiteral(" x "));
    }

    void secondSendDiscardsFirstExchange() {
        Rig rig;
        Rig::open(rig);
        rig.send(QStringLiteral("C00"));
        rig.clock.advance(milliseconds(100));
        rig.port.receive(QStringLiteral("x"));
        rig.clock.advance(milliseconds(200));
        rig.send(QStringLiteral("C01"));
        QCOMPARE(rig.shown().rxd, QString());
        // A late reply to the first is shown as the start of the second's reply.
        rig.port.receive(QString(QChar(0x06)));
        QCOMPARE(rig.shown().rxd, QStringLiteral("  [ACK] "));
        QVERIFY(rig.shown().legendAck);
        // The second send restarted the reply window.
        rig.clock.advance(milliseconds(999));
        QVERIFY(rig.engine.Timer2().isEnabled());
        rig.clock.advance(milliseconds(1));
        QVERIFY(!rig.engine.Timer2().isEnabled());
    }

    // What the reply, status and legend lines show after a few steps of an
    // exchange: "send C" (a panel command), "recv text", "wait ms" on the
    // clock, "event n" (a line event other than a receive).
    void linesOverAnExchange_data() {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("rxd");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("legends");
        const auto row = [](const char* name, QStringList steps, const char* rxd,
                            const char* status, const char* legends) {
            QTest::newRow(name) << steps << QString(rxd) << QString(status) << QString(legends);
        };
        row("status kept by the next send", {"send CR0", "recv 00\r", "send C00"}, "", " Power ON",
            "[CR]");
        row("status kept until the display clear", {"send CR0", "recv 00\r", "wait 1199"},
            " 0 0  [CR] ", " Power ON", "");
        row("status emptied by the display clear", {"send CR0", "recv 00\r", "wait 1200"}, "", "",
            "");
        row("late data decoded alone against the same command",
            {"send CR0", "recv 0", "wait 1000", "recv 80\r"}, " 8 0  [CR] ", " Stand by", "[CR]");
        row("lamp time kept when more arrives", {"send CR3", "recv 01234\r", "recv \n"},
            " 0 1 2 3 4  [CR]  [LF]  ", "   1 2 3 4   Hour Use", "[CR]");
        row("space legend through an ACK reply", {"send CF KEYDIS NONE", "recv \x06", "wait 999"},
            "  [ACK] ", "", "_ [CR] [ACK]");
        row("other line events ignored", {"send CR0", "event 3", "wait 1000"}, " X X X X", "", "");
    }
    void linesOverAnExchange() {
        QFETCH(QStringList, steps);
        Rig rig;
        Rig::open(rig);
        for (const QString& step : steps) {
            const QString verb = step.section(QLatin1Char(' '), 0, 0);
            const QString argument = step.mid(verb.size() + 1);
            if (verb == QLatin1String("send"))
                rig.send(argument);
            else if (verb == QLatin1String("recv"))
                rig.port.receive(argument);
            else if (verb == QLatin1String("wait"))
                rig.clock.advance(milliseconds(argument.toInt()));
            else
                rig.engine.MSComm1_OnComm(CommEvent(argument.toInt()));
        }
        QTEST(rig.shown().rxd, "rxd");
        QTEST(rig.shown().status, "status");
        QStringList legends;
        if (rig.shown().legendSpace)
            legends << QStringLiteral("_");
        if (rig.shown().legendCr)
            legends << QStringLiteral("[CR]");
        if (rig.shown().legendAck)
            legends << QStringLiteral("[ACK]");
        QTEST(legends.join(QLatin1Char(' ')), "legends");
    }

    void sendWithPortClosedShowsTraceAndTimeout() {
        Rig rig;
        rig.store.setStartUp(QStringLiteral("0"), QString());
        rig.engine.startUp();
        rig.send(QStringLiteral("C00"));
        QVERIFY(rig.port.written.isEmpty());
        QCOMPARE(rig.shown().txd, QStringLiteral(" C 0 0  [CR] "));
        rig.clock.advance(milliseconds(5500));
        QCOMPARE(rig.shown().rxd, kNoReplyMarker);
    }

    void receiveBufferIsCapped() {
        Rig rig;
        Rig::open(rig);
        rig.send(QStringLiteral("CR0"));
        const QString chunk(5000, QLatin1Char('A'));
        for (int i = 0; i < 10; ++i)
            rig.port.receive(chunk);
        QCOMPARE(rig.shown().rxd.size(), 1 + 2 * kRxBufCapacity);
        // Emptied at the next send; a new reply is taken in full again.
        rig.send(QStringLiteral("CR0"));
        rig.port.receive(QStringLiteral("00") + kCrText);
        QCOMPARE(rig.shown().rxd, QStringLiteral(" 0 0  [CR] "));
    }

    void lostLineReopensOnNextSend() {
        Rig rig;
        Rig::open(rig);
        rig.port.loseLine();
        QVERIFY(!rig.shown().notice.isEmpty());
        rig.port.failOpen = true;
        rig.send(QStringLiteral("C00"));
        QVERIFY(rig.port.written.isEmpty());
        QCOMPARE(rig.shown().notice,
                 "port lost: " + rig.port.failReason + " The next command tries again.");
        rig.port.failOpen = false;
        rig.send(QStringLiteral("C01"));
        QCOMPARE(rig.port.takeWritten(), QByteArray("C01\r"));
        QCOMPARE(rig.port.openedAt.size(), 2);
        QCOMPARE(rig.port.openedAt.last(), rig.port.openedAt.first());
        QVERIFY(rig.shown().notice.isEmpty());

        // Lost again, and the port now stands for another device.
        rig.port.loseLine();
        rig.port.close();
        rig.port.device = QStringLiteral("/dev/ttyS0");
        rig.send(QStringLiteral("C00"));
        QCOMPARE(rig.port.takeWritten(), QByteArray("C00\r"));
        QCOMPARE(rig.shown().notice, "port reopened on /dev/ttyS0 (it was /dev/ttyUSB0)");

        // A sharing service says why it let the line go: the notice says it too.
        rig.port.farEnd = QStringLiteral("the service's line to the projector is down since "
                                         "14:02:11: line lost: /dev/ttyUSB0");
        rig.port.loseLine();
        QCOMPARE(rig.shown().notice,
                 "port lost: " + rig.port.farEnd + ". The next command tries again.");
    }

    void unloadClosesPort() {
        Rig rig;
        Rig::open(rig);
        rig.engine.Form_QueryUnload();
        QVERIFY(!rig.port.isOpen());
        rig.engine.Form_QueryUnload(); // closing twice is harmless
        QVERIFY(!rig.port.isOpen());
    }
};

QTEST_APPLESS_MAIN(TestTransactionEngine)
#include "tst_transaction_engine.moc"
