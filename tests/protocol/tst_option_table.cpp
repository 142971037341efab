#include "option_table.h"

#include <QTest>

using namespace kavo;

// The shared option reader on a table of its own, shaped like the programs'.
class TestOptionTable : public QObject {
    Q_OBJECT

    int m_port = 0;
    int m_baud = 0;
    int m_wait = 0;

    std::vector<OptionRow> table() {
        return {
            {.names = {"port"},
             .valueName = "N",
             .help = "COM port.",
             .byDefault = "1",
             .check = numberInto("a port number", 1, 15, m_port)},
            {.names = {"baud"},
             .valueName = "RATE",
             .help = "the line's speed in bits a second",
             .check = choiceInto<int>({{"9600", 96}, {"19200", 192}}, m_baud),
             .heading = "Line:"},
            {.names = {"wait"},
             .valueName = "S",
             .help = "at most S seconds",
             .byDefault = "300",
             .check = numberInto("seconds", 1, 3600, m_wait),
             .optionalValue = true},
            {.names = {"json"}, .help = "JSON"},
            {.names = {"q", "quiet"}, .help = "quietly"},
        };
    }

  private slots:
    void readsValues_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("added");  // a port from a configuration file
        QTest::addColumn<QString>("stored"); // port baud wait, or the complaint
        QTest::newRow("in range") << QStringList{"--port", "15"} << ""
                                  << "15 0 0";
        QTest::newRow("out of range") << QStringList{"--port", "16"} << ""
                                      << "--port takes a port number from 1 to 15, not \"16\"";
        QTest::newRow("not a number") << QStringList{"--wait=5s"} << ""
                                      << "--wait takes seconds from 1 to 3600, not \"5s\"";
        QTest::newRow("a word not among the choices") << QStringList{"--baud", "fast"} << ""
                                                      << "--baud takes 9600 or 19200, not \"fast\"";
        QTest::newRow("repeated: the last counts")
            << QStringList{"--port", "0", "--port", "3", "--baud", "9600"} << ""
            << "3 96 0";
        QTest::newRow("the first complaint in the table's order")
            << QStringList{"--baud", "1", "--port", "0"} << ""
            << "--port takes";
        QTest::newRow("unknown option") << QStringList{"--colour"} << ""
                                        << "Unknown option";
        QTest::newRow("value left out") << QStringList{"--port"} << ""
                                        << "Missing value";
        QTest::newRow("optional value left out") << QStringList{"--wait"} << ""
                                                 << "0 0 300";
        QTest::newRow("added value") << QStringList() << "0"
                                     << "port in FILE takes a port number from 1 to 15, not \"0\"";
        QTest::newRow("the command line over an added value") << QStringList{"--port", "2"} << "0"
                                                              << "2 0 0";
    }
    void readsValues() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, added);
        QFETCH(QString, stored);
        m_port = m_baud = m_wait = 0;
        OptionReader reader(table());
        QString said;
        if (!reader.parse(QStringList{"program"} + arguments)) {
            said = reader.errorText();
        } else {
            if (!added.isEmpty())
                reader.addSetting("port", added, "port in FILE");
            said = reader.readValues()
                       ? QStringLiteral("%1 %2 %3").arg(m_port).arg(m_baud).arg(m_wait)
                       : reader.error();
        }
        QVERIFY2(said.startsWith(stored), qPrintable(said));
    }

    void writesHelp() {
        const OptionReader reader(table());
        QCOMPARE(reader.help(14, 40), QStringLiteral("  --port N    COM port (default 1).\n"
                                                     "Line:\n"
                                                     "  --baud RATE  the line's speed in bits\n"
                                                     "              a second\n"
                                                     "  --wait[=S]  at most S seconds\n"
                                                     "              (default 300)\n"
                                                     "  --json      JSON  -q, --quiet  quietly\n"));
    }
};

QTEST_GUILESS_MAIN(TestOptionTable)
#include "tst_option_table.moc"
