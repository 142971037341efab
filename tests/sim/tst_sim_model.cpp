#include "catalogue.h"
#include "projector_model.h"
#include "reply_shaper.h"
#include "status_decoders.h"
#include "trace.h"

#include <QTest>

Q_DECLARE_METATYPE(kavo::sim::FaultSettings)

using namespace kavo;
using namespace kavo::sim;
using std::chrono::milliseconds;

namespace {

const QByteArray kAckReply(1, kavo::kAckByte);

QStringList catalogueCommands() {
    QStringList commands;
    for (const QStringList* list :
         {&catalogue::basicList(), &catalogue::extendedSetList(), &catalogue::extendedReadList()}) {
        for (const QString& entry : *list)
            commands << catalogue::commandPart(entry);
    }
    return commands;
}

const QStringList kFewCommands{"C00", "C01", "CR0", "CF VOLUME 0%%", "CF LOGO %%%% OFF"};

// Short phases and hours so that a test covers them in a few made-up seconds.
ModelSettings quickSettings() {
    ModelSettings settings;
    settings.warmUp = milliseconds{1000};
    settings.coolDown = milliseconds{2000};
    settings.lampHour = milliseconds{1000};
    settings.lampHours = 1537;
    return settings;
}

// Plays "command@ms" steps, "!line@ms" a change by hand; returns the reply
// to the last one (a refused change: its reason).
QByteArray play(ProjectorModel& model, const QStringList& steps) {
    QByteArray reply;
    for (const QString& step : steps) {
        const qsizetype at = step.lastIndexOf(QLatin1Char('@'));
        const milliseconds when{step.mid(at + 1).toLongLong()};
        if (step.startsWith(QLatin1Char('!')))
            reply = model.control(step.mid(1, at - 1).toLatin1(), when).toLatin1();
        else
            reply = model.answer(step.left(at).toLatin1(), when);
    }
    return reply;
}

// "due:bytes" per piece, so that a row reads like the line.
QStringList describe(const std::vector<Piece>& pieces) {
    QStringList shown;
    for (const Piece& piece : pieces)
        shown << QString::number(piece.due.count()) + ':' + QString::fromLatin1(piece.bytes);
    return shown;
}

} // namespace

class TestSimModel : public QObject {
    Q_OBJECT
  private slots:
    // Each read after some commands at made-up times, as the panel's decoders read it.
    void statusReads_data() {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("decoded");
        const auto row = [](const char* name, QStringList steps, const char* reply,
                            const char* decoded) {
            QTest::newRow(name) << steps << QByteArray(reply) << QString::fromLatin1(decoded);
        };
        const char* cold = " + 2 4 . 0 deg C + 2 5 . 5 deg C + 2 6 . 0 deg C ";
        row("standby at start", {"CR0@0"}, "80\r", " Stand by");
        row("warming up", {"C00@0", "CR0@999"}, "40\r", " Count down");
        row("on after warm-up", {"C00@0", "CR0@1000"}, "00\r", " Power ON");
        row("C01 cools down", {"C00@0", "C01@5000", "CR0@6999"}, "20\r", " Cooling down");
        row("standby after cool-down", {"C00@0", "C01@5000", "CR0@7000"}, "80\r", " Stand by");
        row("C02 cools down", {"C00@0", "C02@5000", "CR0@5001"}, "20\r", " Cooling down");
        row("off while warming", {"C00@0", "C01@500", "CR0@600"}, "20\r", " Cooling down");
        row("on while cooling ignored", {"C00@0", "C01@5000", "C00@5500", "CR0@7000"}, "80\r",
            " Stand by");
        row("off in standby", {"C01@0", "CR0@10"}, "80\r", " Stand by");
        row("on as cool-down ends", {"C00@0", "C01@2000", "C00@4000", "CR0@4500"}, "40\r",
            " Count down");
        row("late read crosses phases", {"C00@0", "C01@1500", "CR0@99999"}, "80\r", " Stand by");
        row("time never runs back", {"C00@5000", "CR0@100"}, "40\r", " Count down");
        row("extended power on", {"CF POWER ON@0", "CR0@2000"}, "00\r", " Power ON");
        row("input 1 at start", {"CR1@0"}, "1\r", " Input 1");
        row("input 2", {"C06@0", "CR1@1"}, "2\r", " Input 2");
        row("network", {"C08@0", "CR1@1"}, "4\r", " Wired");
        row("source of input 3", {"CF INPUT3 YPBPR@0", "CR1@1"}, "3\r", " Input 3");
        row("source of input 4", {"CF INPUT4 NETWORK@0", "CR1@1"}, "4\r", " Wired");
        row("input up wraps", {"C08@0", "CF INPUT UP@1", "CR1@2"}, "1\r", " Input 1");
        row("input down wraps", {"CF INPUT DN@0", "CR1@1"}, "4\r", " Wired");
        row("normal picture", {"CR4@0"}, "11\r", " Normally");
        row("ceiling", {"CF CEIL ON@0", "CR4@1"}, "00\r", " Top/Bottom , Left/Right reversal");
        row("rear", {"CF REAR ON@0", "CR4@1"}, "01\r", " Left/Right reversal");
        row("ceiling and rear", {"CF CEIL ON@0", "CF REAR ON@1", "CR4@2"}, "10\r",
            " Top/Bottom reversal");
        row("lamp hours", {"CR3@0"}, "01537\r", "   1 5 3 7   Hour Use");
        row("hours only while lit", {"C00@0", "C01@2500", "CR3@99999"}, "01539\r",
            "   1 5 3 9   Hour Use");
        row("temperatures cold", {"CR6@0"}, "+24.0 +25.5 +26.0\r", cold);
        row("a time constant lit", {"C00@0", "CR6@30000"}, "+28.4 +36.2 +45.6\r",
            " + 2 8 . 4 deg C + 3 6 . 2 deg C + 4 5 . 6 deg C ");
        row("settled hot", {"C00@0", "CR6@600000"}, "+31.0 +42.5 +57.0\r",
            " + 3 1 . 0 deg C + 4 2 . 5 deg C + 5 7 . 0 deg C ");
        row("settled cold again", {"C00@0", "C01@600000", "CR6@1200000"}, "+24.0 +25.5 +26.0\r",
            cold);
        row("lamp off", {"CR LAMPSTS@0"}, "000 1O\r", " Lamp is OFF");
        row("lamp lit warming", {"C00@0", "CR LAMPSTS@1"}, "000 1I\r", " Lamp is ON");
        row("lamp off cooling", {"C00@0", "C01@1", "CR LAMPSTS@2"}, "000 1O\r", " Lamp is OFF");
        row("lamp mode", {"CR LAMPMODE@0"}, "000 NORMAL\r", " Lamp Mode is NORMAL");
        row("lamp hours set by hand", {"C00@0", "!lamp-hours 1500@5000", "CR3@6000"}, "01501\r",
            "   1 5 0 1   Hour Use");
        row("a lamp failure by hand", {"!fault lamp@0", "CR0@1"}, "21\r", " Lamp Failure");
        row("the lamp status in a lamp failure", {"!fault lamp@0", "CR LAMPSTS@1"}, "000 1X\r",
            " Lamp is failure");
        row("a temperature fault by hand", {"!fault temperature@0", "CR0@1"}, "08\r",
            " Temperature abnormality");
        row("a sensor held", {"C00@0", "!temperature 2 85@0", "CR6@600000"}, "+31.0 +85.0 +57.0\r",
            " + 3 1 . 0 deg C + 8 5 . 0 deg C + 5 7 . 0 deg C ");
        row("cleared", {"!fault power@0", "!temperature 1 90@0", "!clear@1", "CR6@2"},
            "+24.0 +25.5 +26.0\r", cold);
        row("eco 2", {"CF LAMPMODE ECO2@0", "CR LAMPMODE@1"}, "000 ECO\r", " Lamp Mode is Eco");
        row("auto", {"CF LAMPMODE ECO1@0", "CF LAMPMODE AUTO@1", "CR LAMPMODE@2"}, "000 NORMAL\r",
            " Lamp Mode is NORMAL");
    }
    void statusReads() {
        QFETCH(QStringList, steps);
        QFETCH(QByteArray, reply);
        ProjectorModel model(CommandSet(catalogueCommands()), quickSettings());
        QCOMPARE(play(model, steps), reply);

        const QString read = steps.last().section(QLatin1Char('@'), 0, 0) + QChar(0x0D);
        const QString received = QString::fromLatin1(reply);
        const auto decoded = decodeStatus(read, renderTrace(received).text, received.size());
        QVERIFY(decoded.has_value());
        QTEST(*decoded, "decoded");
    }

    // Changes by hand that make no sense change nothing and say why.
    void controlRefused_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("reason");
        QTest::newRow("hours past five digits") << "lamp-hours 100000"
                                                << "lamp-hours takes";
        QTest::newRow("no such fault") << "fault fan"
                                       << "fault takes";
        QTest::newRow("no such sensor") << "temperature 4 50"
                                        << "temperature takes a sensor";
        QTest::newRow("not a word it knows") << "explode"
                                             << "unknown: explode";
    }
    void controlRefused() {
        QFETCH(QString, line);
        QFETCH(QString, reason);
        ProjectorModel model(CommandSet(catalogueCommands()), quickSettings());
        QVERIFY(model.control(line.toLatin1(), milliseconds{0}).startsWith(reason));
        QCOMPARE(play(model, {"CR3@0"}), QByteArray("01537\r"));
        QCOMPARE(play(model, {"CR0@0"}), QByteArray("80\r"));
    }

    void startSettings() {
        ModelSettings settings = quickSettings();
        settings.warmUp = milliseconds{0};
        settings.lampMode = LampMode::High;
        settings.lampHours = 99998;
        ProjectorModel model(CommandSet(catalogueCommands()), settings);
        QCOMPARE(play(model, {"CR LAMPMODE@0"}), QByteArray("000 HIGH\r"));
        QCOMPARE(play(model, {"C00@10", "CR0@10"}), QByteArray("00\r")); // no warm-up at all
        QCOMPARE(play(model, {"CR3@99999"}), QByteArray("99999\r"));     // five digits at most
    }

    void acceptance_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("known");
        const auto row = [](const char* name, QByteArray line, bool known) {
            QTest::newRow(name) << line << known;
        };
        row("known", "C00", true);
        row("lower case", "c00", false);
        row("leading blank", " C00", false);
        row("trailing blank", "C00 ", false);
        row("empty line", "", false);
        row("not in the list", "C02", false);
        row("digits for %", "CF VOLUME 090", true);
        row("% left in", "CF VOLUME 0%%", false);
        row("below 0 for %", "CF VOLUME 0/0", false);
        row("above 9 for %", "CF VOLUME 0:0", false);
        row("fixed digit differs", "CF VOLUME 142", false);
        row("digit short", "CF VOLUME 04", false);
        row("digit too many", "CF VOLUME 0423", false);
        row("field inside", "CF LOGO 1234 OFF", true);
        row("field inside short", "CF LOGO 123 OFF", false);
        row("byte above 0x7F", "C0\xB0", false);
        row("NUL inside", QByteArray("C0\0", 3), false);
        row("LF before CR", "C00\n", false);
    }
    void acceptance() {
        QFETCH(QByteArray, line);
        QFETCH(bool, known);
        ProjectorModel model{CommandSet(kFewCommands), quickSettings()};
        QCOMPARE(model.answer(line, milliseconds{0}), known ? kAckReply : kUnknownReply);
        // Only the power command changes the power state.
        QCOMPARE(model.answer("CR0", milliseconds{10}),
                 QByteArray(line == "C00" ? "40\r" : "80\r"));
    }

    void wholeCatalogueIsAccepted() {
        const QStringList commands = catalogueCommands();
        ProjectorModel model{CommandSet(commands), quickSettings()};
        for (QString command : commands) {
            command.replace(QLatin1Char('%'), QLatin1Char('7'));
            QVERIFY2(model.answer(command.toLatin1(), milliseconds{0}) != kUnknownReply,
                     qPrintable(command));
        }
    }

    void linesFromPieces_data() {
        QTest::addColumn<QByteArrayList>("chunks");
        QTest::addColumn<QByteArrayList>("replies");
        QTest::addColumn<int>("buffered");
        QTest::newRow("whole") << QByteArrayList{"CR0\r"} << QByteArrayList{"80\r"} << 0;
        QTest::newRow("byte by byte")
            << QByteArrayList{"C", "R", "0", "\r"} << QByteArrayList{"80\r"} << 0;
        QTest::newRow("two in one")
            << QByteArrayList{"C00\rCR0\r"} << QByteArrayList{kAckReply, "40\r"} << 0;
        QTest::newRow("across chunks")
            << QByteArrayList{"C0", "0\rCR", "0\r"} << QByteArrayList{kAckReply, "40\r"} << 0;
        QTest::newRow("tail waits") << QByteArrayList{"CR0\rCR"} << QByteArrayList{"80\r"} << 2;
        QTest::newRow("CR alone") << QByteArrayList{"\r"} << QByteArrayList{kUnknownReply} << 0;
        QTest::newRow("LF after CR") << QByteArrayList{"CR0\r\n"} << QByteArrayList{"80\r"} << 1;
    }
    void linesFromPieces() {
        QFETCH(QByteArrayList, chunks);
        ProjectorModel model{CommandSet(kFewCommands), quickSettings()};
        QByteArrayList replies;
        QByteArray arrived;
        for (const QByteArray& chunk : chunks) {
            for (const Exchange& exchange : model.receive(chunk, milliseconds{0})) {
                replies << exchange.reply;
                arrived += exchange.arrived;
            }
        }
        QTEST(replies, "replies");
        QTEST(int(model.bufferedInput()), "buffered");
        QCOMPARE(arrived + chunks.join().right(model.bufferedInput()), chunks.join());
    }

    void overlongLines_data() {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("dropped");
        QTest::newRow("at the limit: kept") << int(kMaxCommandLength) << 0;
        QTest::newRow("one past: dropped")
            << int(kMaxCommandLength) + 1 << int(kMaxCommandLength) + 1;
        QTest::newRow("a megabyte of garbage") << (1 << 20) << (1 << 20);
    }
    void overlongLines() {
        QFETCH(int, length);
        QFETCH(int, dropped);
        ProjectorModel model{CommandSet(kFewCommands), quickSettings()};
        const QByteArray garbage(4096, 'A');
        for (int sent = 0; sent < length; sent += garbage.size()) {
            QVERIFY(model.receive(garbage.left(length - sent), milliseconds{0}).empty());
            QVERIFY(model.bufferedInput() <= kMaxCommandLength);
        }
        const std::vector<Exchange> ended = model.receive("\rCR0\r", milliseconds{0});
        QCOMPARE(ended.size(), std::size_t(2));
        QCOMPARE(int(ended[0].dropped), dropped);
        QCOMPARE(ended[0].arrived.size(), dropped ? 0 : length + 1);
        QCOMPARE(ended[0].reply, kUnknownReply);
        QCOMPARE(ended[1].reply, QByteArray("80\r")); // the next line is read normally
    }

    // Reply "80\r" at 1000 ms, then "1\r" at 1010 ms.
    void faultTiming_data() {
        QTest::addColumn<FaultSettings>("faults");
        QTest::addColumn<QStringList>("first");
        QTest::addColumn<QStringList>("second");
        const auto faults = [](bool silent, int delay, int pieceSize, int gap) {
            return FaultSettings{silent, milliseconds{delay}, pieceSize, milliseconds{gap}, 0};
        };
        QTest::newRow("plain") << faults(false, 0, 0, 50) << QStringList{"1000:80\r"}
                               << QStringList{"1010:1\r"};
        QTest::newRow("no answer") << faults(true, 0, 0, 50) << QStringList{} << QStringList{};
        QTest::newRow("delay") << faults(false, 300, 0, 50) << QStringList{"1300:80\r"}
                               << QStringList{"1310:1\r"};
        QTest::newRow("pieces keep order")
            << faults(false, 0, 1, 50) << QStringList{"1000:8", "1050:0", "1100:\r"}
            << QStringList{"1100:1", "1150:\r"};
        QTest::newRow("pieces after delay")
            << faults(false, 200, 2, 30) << QStringList{"1200:80", "1230:\r"}
            << QStringList{"1230:1\r"};
    }
    void faultTiming() {
        QFETCH(FaultSettings, faults);
        ReplyShaper shaper(faults, 1);
        QTEST(describe(shaper.shape("80\r", milliseconds{1000})), "first");
        QTEST(describe(shaper.shape("1\r", milliseconds{1010})), "second");
    }

    void noise_data() {
        QTest::addColumn<int>("percent");
        QTest::newRow("none") << 0;
        QTest::newRow("some") << 30;
        QTest::newRow("every byte") << 100;
    }
    void noise() {
        QFETCH(int, percent);
        const QByteArray reply(200, 'R');
        const auto noisy = [&](quint32 seed) {
            ReplyShaper shaper(FaultSettings{false, {}, 0, {}, percent}, seed);
            return describe(shaper.shape(reply, milliseconds{0}))
                .join(QString())
                .mid(2); // drop "0:"
        };
        const QString line = noisy(7);
        QCOMPARE(noisy(7), line); // a seed replays the same noise
        QVERIFY(line.count(QLatin1Char('R')) >= reply.size());
        const qsizetype added = line.size() - reply.size();
        QVERIFY(percent == 0 ? added == 0 : percent == 100 ? added == reply.size() : added > 20);
        if (percent == 30)
            QVERIFY(noisy(8) != line);
    }

    void floodBytesAreSeeded() {
        ReplyShaper one(FaultSettings{}, 42);
        ReplyShaper two(FaultSettings{}, 42);
        const QByteArray bytes = one.randomBytes(4096);
        QCOMPARE(bytes.size(), 4096);
        QCOMPARE(two.randomBytes(4096), bytes);
        QVERIFY(bytes.count(bytes[0]) < 200); // spread over the byte values, not one repeated
    }
};

QTEST_APPLESS_MAIN(TestSimModel)
#include "tst_sim_model.moc"
