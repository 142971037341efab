#include "fakes.h"
#include "status_decoders.h"
#include "trace.h"
#include "transaction_engine.h"

#include <QTest>

using namespace kavo;

namespace {

const QChar kCrChar(0x0D);
const QChar kAck(0x06);

// Decodes a whole reply to a command as the panel shows it.
QString decode(const QString& command, const QString& reply) {
    const QString cmd = command.isEmpty() ? QString() : command + kCrChar;
    return decodeStatus(cmd, renderTrace(reply).text, reply.size())
        .value_or(QStringLiteral("<none>"));
}

} // namespace

class TestStatusDecoders : public QObject {
    Q_OBJECT
  private slots:
    void decodes_data() {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("status");
        const QString cr(kCrChar);
        const std::pair<const char*, const char*> power[] = {
            {"00", " Power ON"},
            {"80", " Stand by"},
            {"40", " Count down"},
            {"20", " Cooling down"},
            {"10", " Power abnormality"},
            {"08", " Temperature abnormality"},
            {"18", " Temperature abnormality"},
            {"28", " Temperature abnormality"},
            {"48", " Temperature abnormality"},
            {"88", " Temperature abnormality"},
            {"21", " Lamp Failure"},
            {"81", " Lamp Failure"},
        };
        for (const auto& [reply, text] : power)
            QTest::addRow("CR0 %s", reply) << "CR0" << QString(reply) + cr << QString(text);
        QTest::newRow("CR0 99") << "CR0"
                                << "99" + cr << "<none>";
        QTest::newRow("CR0 single 0") << "CR0"
                                      << "0"
                                      << "<none>";
        QTest::newRow("CR0 ACK") << "CR0" << QString(kAck) << "<none>";
        QTest::newRow("CR0 lower case") << "CR0"
                                        << "0a" + cr << "<none>";

        const std::pair<const char*, const char*> input[] = {
            {"1", " Input 1"}, {"2", " Input 2"},         {"3", " Input 3"},
            {"4", " Wired"},   {"5", " Wireless/Viewer"},
        };
        for (const auto& [reply, text] : input)
            QTest::addRow("CR1 %s", reply) << "CR1" << QString(reply) + cr << QString(text);
        QTest::newRow("CR1 4 without CR") << "CR1"
                                          << "4"
                                          << " Wired";
        QTest::newRow("CR1 6") << "CR1"
                               << "6" + cr << "<none>";

        QTest::newRow("CR4 11") << "CR4"
                                << "11" + cr << " Normally";
        QTest::newRow("CR4 10") << "CR4"
                                << "10" + cr << " Top/Bottom reversal";
        QTest::newRow("CR4 01") << "CR4"
                                << "01" + cr << " Left/Right reversal";
        QTest::newRow("CR4 00") << "CR4"
                                << "00" + cr << " Top/Bottom , Left/Right reversal";
        QTest::newRow("CR4 02") << "CR4"
                                << "02" + cr << "<none>";

        QTest::newRow("CR3 01234") << "CR3"
                                   << "01234" + cr << "   1 2 3 4   Hour Use";
        QTest::newRow("CR3 00100") << "CR3"
                                   << "00100" + cr << "     1 0 0   Hour Use";
        QTest::newRow("CR3 10203") << "CR3"
                                   << "10203" + cr << " 1 0 2 0 3   Hour Use";
        QTest::newRow("CR3 00000 keeps last digit") << "CR3"
                                                    << "00000" + cr << "         0   Hour Use";
        QTest::newRow("CR3 00001") << "CR3"
                                   << "00001" + cr << "         1   Hour Use";
        // Six characters without the five-digit shape: zeros all blanked.
        QTest::newRow("CR3 000123 without CR") << "CR3"
                                               << "000123"
                                               << "       1 Hour Use";
        QTest::newRow("CR3 000000 without CR") << "CR3"
                                               << "000000"
                                               << "         Hour Use";
        QTest::newRow("CR3 four digits") << "CR3"
                                         << "0123" + cr << "<none>";
        QTest::newRow("CR3 six digits") << "CR3"
                                        << "012345" + cr << "<none>";

        QTest::newRow("CR6 example")
            << "CR6"
            << "12345 67890 ABCDE" + cr << " 1 2 3 4 5 deg C 6 7 8 9 0 deg C A B C D E deg C ";
        QTest::newRow("CR6 temperatures")
            << "CR6"
            << "025.0_031.5_040.2" + cr << " 0 2 5 . 0 deg C 0 3 1 . 5 deg C 0 4 0 . 2 deg C ";
        QTest::newRow("CR6 sixteen") << "CR6"
                                     << "12345 67890 ABCD" + cr << "<none>";
        QTest::newRow("CR6 eighteen") << "CR6"
                                      << "12345 67890 ABCDEF" + cr << "<none>";

        for (const char* sep : {" ", "_", ","}) {
            QTest::addRow("LAMPSTS I sep '%s'", sep)
                << "CR LAMPSTS" << QString("000") + sep + "1I" + cr << " Lamp is ON";
            QTest::addRow("LAMPMODE ECO sep '%s'", sep)
                << "CR LAMPMODE" << QString("000") + sep + "ECO" + cr << " Lamp Mode is Eco";
        }
        QTest::newRow("LAMPSTS O") << "CR LAMPSTS"
                                   << "000 1O" + cr << " Lamp is OFF";
        QTest::newRow("LAMPSTS X") << "CR LAMPSTS"
                                   << "000 1X" + cr << " Lamp is failure";
        QTest::newRow("LAMPSTS ACK sep") << "CR LAMPSTS"
                                         << "000" + QString(kAck) + "1I" + cr << "<none>";
        QTest::newRow("LAMPSTS 2I") << "CR LAMPSTS"
                                    << "000 2I" + cr << "<none>";
        QTest::newRow("LAMPSTS short") << "CR LAMPSTS"
                                       << "000 1"
                                       << "<none>";
        QTest::newRow("LAMPMODE HIGH") << "CR LAMPMODE"
                                       << "000 HIGH" + cr << " Lamp Mode is High";
        QTest::newRow("LAMPMODE NORMAL") << "CR LAMPMODE"
                                         << "000 NORMAL" + cr << " Lamp Mode is NORMAL";
        QTest::newRow("LAMPMODE ECO1 longer") << "CR LAMPMODE"
                                              << "000 ECO1" + cr << "<none>";
        QTest::newRow("LAMPMODE ACK sep") << "CR LAMPMODE"
                                          << "000" + QString(kAck) + "ECO" + cr << "<none>";
        QTest::newRow("LAMPMODE short trace") << "CR LAMPMODE"
                                              << "0"
                                              << "<none>";
        QTest::newRow("LAMPMODE empty") << "CR LAMPMODE"
                                        << ""
                                        << "<none>";

        QTest::newRow("C00 then 00") << "C00"
                                     << "00" + cr << "<none>";
        QTest::newRow("no command yet") << ""
                                        << "00" + cr << "<none>";
        QTest::newRow("CR0 without CR in command") << "CR0 "
                                                   << "00" + cr << "<none>";
    }
    void decodes() {
        QFETCH(QString, command);
        QFETCH(QString, reply);
        QTEST(decode(command, reply), "status");
    }

    void everyByteInEveryReadIsSafe() {
        // Garbage of every byte value, split at every position, decodes only exact shapes.
        for (const char* command :
             {"CR0", "CR1", "CR3", "CR4", "CR6", "CR LAMPSTS", "CR LAMPMODE"}) {
            for (int byte = 0; byte < 256; ++byte) {
                const QString reply = QString(5, QChar(byte)) + kCrChar;
                for (int split = 0; split <= reply.size(); ++split) {
                    const QString part = reply.first(split);
                    const auto text = decodeStatus(QString(command) + kCrChar,
                                                   renderTrace(part).text, part.size());
                    if (text && QByteArray(command) == "CR0")
                        QVERIFY(part.startsWith(QStringLiteral("00")) ||
                                part.startsWith(QStringLiteral("88")));
                }
            }
        }
    }

    void lampTimeReadTwiceShowsHoursOnce() {
        AppValues values;
        test::FakeSerialPort port;
        test::FakeClock clock;
        test::FakeSettingsStore store;
        store.setStartUp("1", "96");
        TransactionEngine engine(values, port, clock, store);
        engine.startUp();
        for (int i = 0; i < 2; ++i) {
            values.Cur_cmd = QStringLiteral("CR3\r");
            engine.Hyouji(values.Cur_cmd, 1);
            port.receive(QStringLiteral("01234\r"));
        }
        QCOMPARE(engine.display().status, QStringLiteral("   1 2 3 4   Hour Use"));
    }

    void temperatureStopsWhenMoreArrives() {
        AppValues values;
        test::FakeSerialPort port;
        test::FakeClock clock;
        test::FakeSettingsStore store;
        store.setStartUp("1", "96");
        TransactionEngine engine(values, port, clock, store);
        engine.startUp();
        values.Cur_cmd = QStringLiteral("CR6\r");
        engine.Hyouji(values.Cur_cmd, 1);
        port.receive(QStringLiteral("12345 67890"));
        QCOMPARE(engine.display().status, QString());
        port.receive(QStringLiteral(" ABCDE\r"));
        const QString decoded = engine.display().status;
        QCOMPARE(decoded, QStringLiteral(" 1 2 3 4 5 deg C 6 7 8 9 0 deg C A B C D E deg C "));
        port.receive(QStringLiteral("\n"));
        QCOMPARE(engine.display().status, decoded);
        QCOMPARE(engine.display().rxd.size(), 2 * 17 + 7 + 7);
    }

    void consoleSendAfterPanelReadIsDecodedByPanelCommand() {
        AppValues values;
        test::FakeSerialPort port;
        test::FakeClock clock;
        test::FakeSettingsStore store;
        store.setStartUp("1", "96");
        TransactionEngine engine(values, port, clock, store);
        engine.startUp();
        values.Cur_cmd = QStringLiteral("CR1\r");
        engine.Hyouji(values.Cur_cmd, 1);
        engine.Hyouji(QStringLiteral("CR0\r"), 1); // the console leaves Cur_cmd alone
        port.receive(QStringLiteral("3\r"));
        QCOMPARE(engine.display().status, QStringLiteral(" Input 3"));
        QCOMPARE(values.Cur_cmd, QStringLiteral("CR1\r"));
    }
};

QTEST_APPLESS_MAIN(TestStatusDecoders)
#include "tst_status_decoders.moc"
