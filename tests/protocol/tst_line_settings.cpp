#include "line_settings.h"

#include <QTest>

using namespace kavo;

class TestLineSettings : public QObject {
    Q_OBJECT
  private slots:
    void settingsTextByCode_data() {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("96") << 96 << "9600,N,8,1";
        QTest::newRow("192") << 192 << "19200,N,8,1";
        QTest::newRow("0") << 0 << "19200,N,8,1";
        QTest::newRow("97") << 97 << "19200,N,8,1";
        QTest::newRow("255") << 255 << "19200,N,8,1";
    }
    void settingsTextByCode() {
        QFETCH(int, code);
        QFETCH(QString, text);
        QCOMPARE(settingsText(static_cast<std::uint8_t>(code)), text);
    }

    void leadingNumber_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("value");
        QTest::newRow("plain") << "12" << 12.0;
        QTest::newRow("leading blanks") << "  12" << 12.0;
        QTest::newRow("leading tab") << "\t7" << 7.0;
        QTest::newRow("stops at letter") << "12abc" << 12.0;
        QTest::newRow("stops at inner blank") << "1 2" << 1.0;
        QTest::newRow("negative") << "-1" << -1.0;
        QTest::newRow("plus") << "+3" << 3.0;
        QTest::newRow("fraction") << "2.5" << 2.5;
        QTest::newRow("point first") << ".5" << 0.5;
        QTest::newRow("exponent") << "1e1" << 10.0;
        QTest::newRow("capital exponent") << "1E1" << 10.0;
        QTest::newRow("dangling exponent") << "4e" << 4.0;
        QTest::newRow("letters") << "DATAC" << 0.0;
        QTest::newRow("empty") << "" << 0.0;
        QTest::newRow("sign only") << "-" << 0.0;
        QTest::newRow("point only") << "." << 0.0;
        QTest::newRow("hex is not read") << "&H0F" << 0.0;
    }
    void leadingNumber() {
        QFETCH(QString, text);
        QFETCH(double, value);
        QCOMPARE(readLeadingNumber(text), value);
    }

    void storedPort_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("port");
        QTest::newRow("absent default") << "DATAC" << 0;
        QTest::newRow("0") << "0" << 0;
        QTest::newRow("1") << "1" << 1;
        QTest::newRow("15") << "15" << 15;
        QTest::newRow("16") << "16" << 0;
        QTest::newRow("-1") << "-1" << 0;
        QTest::newRow("leading blank 12") << " 12" << 12;
        QTest::newRow("2.5 halves to even") << "2.5" << 2;
        QTest::newRow("3.5 halves to even") << "3.5" << 4;
        QTest::newRow("0.5 rounds to 0") << "0.5" << 0;
        QTest::newRow("15.4") << "15.4" << 15;
        QTest::newRow("15.5 rounds to 16") << "15.5" << 0;
        QTest::newRow("beyond 16 bits") << "65537" << 0;
        QTest::newRow("huge") << QString(10000, QLatin1Char('9')) << 0;
        QTest::newRow("overflowing exponent") << "1e999" << 0;
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("letters") << "COM3" << 0;
        QTest::newRow("digits then text") << "3COM" << 3;
    }
    void storedPort() {
        QFETCH(QString, text);
        QFETCH(int, port);
        QCOMPARE(int(storedPortNumber(text)), port);
    }

    void storedBaud_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("code");
        QTest::newRow("96") << "96" << 96;
        QTest::newRow("96.4") << "96.4" << 96;
        QTest::newRow("95.5 halves to even 96") << "95.5" << 96;
        QTest::newRow("96.5 halves to even 96") << "96.5" << 96;
        QTest::newRow("192") << "192" << 192;
        QTest::newRow("0") << "0" << 192;
        QTest::newRow("absent default") << "DATAb" << 192;
        QTest::newRow("5") << "5" << 192;
        QTest::newRow("9600") << "9600" << 192;
        QTest::newRow("352 wraps nowhere") << "352" << 192;
        QTest::newRow("negative") << "-96" << 192;
    }
    void storedBaud() {
        QFETCH(QString, text);
        QFETCH(int, code);
        QCOMPARE(int(storedBaudCode(text)), code);
    }

    void commandLineEndsInOneCr() {
        QCOMPARE(commandLine(u"CR0").toLatin1(), QByteArray("\x43\x52\x30\x0D"));
    }
};

QTEST_APPLESS_MAIN(TestLineSettings)
#include "tst_line_settings.moc"
