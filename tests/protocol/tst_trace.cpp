#include "trace.h"

#include <QTest>

using namespace kavo;

class TestTrace : public QObject {
    Q_OBJECT
  private slots:
    void render_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("trace");
        QTest::addColumn<bool>("space");
        QTest::addColumn<bool>("cr");
        QTest::addColumn<bool>("ack");
        const QString cr(QChar(0x0D));
        const QString ack(QChar(0x06));
        QTest::newRow("C09") << "C09" + cr << " C 0 9  [CR] " << false << true << false;
        QTest::newRow("CR0") << "CR0" + cr << " C R 0  [CR] " << false << true << false;
        QTest::newRow("00") << "00" + cr << " 0 0  [CR] " << false << true << false;
        QTest::newRow("ACK") << ack << "  [ACK] " << false << false << true;
        QTest::newRow("ACK CR") << ack + cr << "  [ACK]  [CR] " << false << true << true;
        QTest::newRow("lamp mode")
            << "CF LAMPMODE ECO1" + cr << " C F _ L A M P M O D E _ E C O 1  [CR] " << true << true
            << false;
        QTest::newRow("01234") << "01234" + cr << " 0 1 2 3 4  [CR] " << false << true << false;
        QTest::newRow("above z") << QString("a{~") + QChar(0x7F) + QChar(0x09) << " a ? ? ? ? "
                                 << false << false << false;
        QTest::newRow("empty") << ""
                               << " " << false << false << false;
        QTest::newRow("space") << " "
                               << " _ " << true << false << false;
        QTest::newRow("underscore shows no legend") << "_"
                                                    << " _ " << false << false << false;
        QTest::newRow("LF") << QString(QChar(0x0A)) << "  [LF]  " << false << false << false;
        QTest::newRow("NUL TAB ESC")
            << QString(QChar(0)) + QChar(9) + QChar(0x1B) << " ? ? ? " << false << false << false;
        QTest::newRow("braces") << "{}"
                                << " ? ? " << false << false << false;
        QTest::newRow("bytes above 0x7F")
            << QString(QChar(0x80)) + QChar(0xFF) << " ? ? " << false << false << false;
        QTest::newRow("bounds") << "!z09AZ"
                                << " ! z 0 9 A Z " << false << false << false;
        QTest::newRow("key disable")
            << "CF KEYDIS NONE" + cr << " C F _ K E Y D I S _ N O N E  [CR] " << true << true
            << false;
    }
    void render() {
        QFETCH(QString, text);
        QFETCH(QString, trace);
        const Trace rendered = renderTrace(text);
        QCOMPARE(rendered.text, trace);
        QTEST(rendered.space, "space");
        QTEST(rendered.cr, "cr");
        QTEST(rendered.ack, "ack");
    }

    void statusReplyLengthIsTwoNPlusSeven() {
        for (int n = 0; n < 20; ++n) {
            const QString reply = QString(n, QLatin1Char('7')) + QChar(0x0D);
            QCOMPARE(renderTrace(reply).text.size(), 2 * n + 7);
        }
    }
};

QTEST_APPLESS_MAIN(TestTrace)
#include "tst_trace.moc"
