// The panel as a screen reader hears it, on a real X display with the
// accessibility bus of a desktop session (see with_accessibility_bus.sh): an
// AT-SPI listener hears the STATUS line change after a status read, from a
// status bar, with the new text.

#include "form1.h"
#include "session_rig.h"
#include "window_controls.h"
#include "window_manager.h"

#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

using namespace kavo;
using namespace kavo::test;

class TestScreenReader : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() {
        QVERIFY2(connection(), "needs the xcb platform on an X display");
        QVERIFY2(waitForWindowManager(), "the window manager did not take over the display");
    }

    void statusLineChangeIsHeardWithItsText() {
        SessionRig rig;
        rig.store.setStartUp("1", "192");
        Form1 form(rig.session);
        form.endProgram = [] {};
        form.Form_Load();
        form.setOuterHeightTwips(kExtendedHeightTwips);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form, 20000));

        QProcess listener;
        listener.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        listener.start(QStringLiteral(KAVO_ATSPI_LISTENER), {});
        QString heard;
        const auto listen = [&] {
            heard += QString::fromUtf8(listener.readAllStandardOutput());
            return heard;
        };
        QTRY_VERIFY_WITH_TIMEOUT(listen().contains(QLatin1String("READY\n")), 30000);

        // The listener's registration reaches the panel a moment later: the
        // MODE read goes on, its decoded text alternating, until a change is heard.
        const QRegularExpression change(
            QStringLiteral("object:text-changed:insert\tstatus bar\t Input [12]\n"));
        auto* mode = control<QPushButton>(form, "Command", 45);
        for (int i = 0; i < 100 && !listen().contains(change); ++i) {
            mode->click();
            rig.port.receive(QString::number(i % 2 + 1) + QLatin1Char('\r'));
            QCOMPARE(control<QLabel>(form, "Label", 25)->text(),
                     QStringLiteral(" Input %1").arg(i % 2 + 1));
            QTest::qWait(100);
        }
        listener.kill();
        listener.waitForFinished();
        QVERIFY2(listen().contains(change), qPrintable(heard));
    }
};

QTEST_MAIN(TestScreenReader)
#include "tst_screen_reader.moc"
