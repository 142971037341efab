// Every window at the display scale the run is given (QT_SCALE_FACTOR; CTest
// runs this at 1, 1.25, 1.5 and 2) with the font pinned: each visible
// control's caption fits its rectangle, no two controls overlap, and a
// control inside a frame keeps clear of its border and title.

#include "fakes.h"
#include "form1.h"
#include "form2.h"
#include "form3.h"
#include "session_rig.h"
#include "widget_fit.h"

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScreen>
#include <QTest>

using namespace kavo;
using namespace kavo::test;

namespace {

// The controls the windows are designed with, by their designer names.
QList<QWidget*> designedControls(QWidget* parent) {
    static const QRegularExpression designed(
        QStringLiteral("^(Command|Label|Frame|Option|Text|Combo)\\d+$"));
    QList<QWidget*> found;
    for (QWidget* child : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (designed.match(child->objectName()).hasMatch() && child->isVisibleTo(parent))
            found << child;
    }
    return found;
}

// Why `control`'s caption does not fit, or empty when it does.
QString captionClipped(QWidget* control) {
    const QFontMetrics metrics(control->font());
    QString text;
    QRect room;
    if (auto* button = qobject_cast<QAbstractButton*>(control)) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = text = button->text();
        const bool radio = qobject_cast<QRadioButton*>(button);
        room = button->style()->subElementRect(radio ? QStyle::SE_RadioButtonContents
                                                     : QStyle::SE_PushButtonContents,
                                               &option, button);
    } else if (auto* label = qobject_cast<QLabel*>(control)) {
        text = label->text();
        room = label->contentsRect();
        const int indent = label->indent() >= 0  ? label->indent()
                           : label->frameWidth() ? metrics.horizontalAdvance(QLatin1Char('x'))
                                                 : 0;
        room.setWidth(room.width() - indent);
    } else if (auto* frame = qobject_cast<QGroupBox*>(control)) {
        text = frame->title();
        room = frame->rect();
    } else {
        return {};
    }
    if (text.isEmpty())
        return {};
    // Drawn centred on its line's height: its ink must stay in the room.
    const int wide = metrics.horizontalAdvance(text);
    const QRect ink = metrics.tightBoundingRect(text);
    const int baseline = room.top() + (room.height() - metrics.height()) / 2 + metrics.ascent();
    const int high = ink.height();
    if (wide <= room.width() && baseline + ink.top() >= room.top() &&
        baseline + ink.bottom() <= room.bottom())
        return {};
    return QStringLiteral("%1 \"%2\" needs %3x%4, has %5x%6")
        .arg(control->objectName(), text)
        .arg(wide)
        .arg(high)
        .arg(room.width())
        .arg(room.height());
}

// Every fault of the controls of `parent` (the window or a frame) and below.
QStringList layoutFaults(QWidget* parent, const QRect& inside) {
    QStringList faults;
    const QList<QWidget*> controls = designedControls(parent);
    for (QWidget* control : controls) {
        if (const QString clipped = captionClipped(control); !clipped.isEmpty())
            faults << clipped;
        if (!inside.contains(control->geometry()))
            faults
                << QStringLiteral("%1 leaves %2").arg(control->objectName(), parent->objectName());
        if (auto* frame = qobject_cast<QGroupBox*>(control))
            faults << layoutFaults(frame, frameInside(frame));
    }
    for (qsizetype i = 0; i < controls.size(); ++i) {
        for (qsizetype j = i + 1; j < controls.size(); ++j) {
            QWidget* a = controls[i];
            QWidget* b = controls[j];
            if (!a->geometry().intersects(b->geometry()))
                continue;
            // A control placed on the window over a frame sits wholly inside it.
            auto* frame = qobject_cast<QGroupBox*>(a) ? a : qobject_cast<QGroupBox*>(b);
            QWidget* other = frame == a ? b : a;
            if (frame && !qobject_cast<QGroupBox*>(other) &&
                frameInside(static_cast<QGroupBox*>(frame))
                    .translated(frame->pos())
                    .contains(other->geometry()))
                continue;
            faults << QStringLiteral("%1 overlaps %2").arg(a->objectName(), b->objectName());
        }
    }
    return faults;
}

struct Windows : SessionRig {
    FakeMessageBox messages;
    Form1 panel{session};
    Form2 dialog{session, messages, [] {}};
    Form3 console{session, [] {}};

    Windows() {
        store.setStartUp("1", "192");
        panel.endProgram = [] {};
        panel.Form_Load();
        panel.setOuterHeightTwips(kExtendedHeightTwips);
        // A status read with its reply: trace, legends and status shown.
        values.Cur_cmd = QStringLiteral("CR LAMPMODE\r");
        engine.Hyouji(values.Cur_cmd, 1);
        port.receive(QStringLiteral("000 ECO\r"));
        // All three legends, as a reply holding an ACK, a blank and a CR shows them.
        for (const char* legend : {"Label27", "Label28", "Label29"})
            panel.findChild<QLabel*>(QLatin1String(legend))->show();
    }
};

} // namespace

class TestLayout : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() {
        // DejaVu Sans: the sans-serif face of a stock Debian desktop, which
        // the Windows checks under Wine draw with too.
        QFont pinned(QStringLiteral("DejaVu Sans"), 9);
        if (QFontInfo(pinned).family() != QLatin1String("DejaVu Sans"))
            QSKIP("DejaVu Sans is not installed (scripts/ensure-deps.sh installs it)");
        QApplication::setFont(pinned);
    }

    void everyCaptionFitsAndNothingOverlaps_data() {
        QTest::addColumn<QString>("window");
        QTest::addColumn<int>("list");
        QTest::newRow("panel") << "Form1" << 0;
        QTest::newRow("port dialog") << "Form2" << 0;
        QTest::newRow("console, basic list") << "Form3" << 1;
        QTest::newRow("console, extended set list and hints") << "Form3" << 2;
        QTest::newRow("console, extended read list") << "Form3" << 3;
    }
    void everyCaptionFitsAndNothingOverlaps() {
        QFETCH(QString, window);
        QFETCH(int, list);
        Windows windows;
        QWidget* shown = window == QLatin1String("Form1")   ? static_cast<QWidget*>(&windows.panel)
                         : window == QLatin1String("Form2") ? static_cast<QWidget*>(&windows.dialog)
                                                            : &windows.console;
        if (list == 2) {
            windows.console.Command4_Click();
            auto* entries = windows.console.findChild<QComboBox*>(QStringLiteral("Combo2"));
            entries->setCurrentIndex(
                entries->findText(QStringLiteral("CF VOLUME 0%%"), Qt::MatchStartsWith));
        } else if (list == 3) {
            windows.console.Command5_Click();
        }
        shown->show();
        QVERIFY(QTest::qWaitForWindowExposed(shown));
        const QStringList faults = layoutFaults(shown, shown->rect());
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1String("; "))));
    }

    // The console opens centred over the panel; where the screen is too
    // small for that, its title bar stays on the screen.
    void consoleOpensOverThePanel() {
        Windows windows;
        windows.panel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&windows.panel));
        windows.console.placeOver(&windows.panel);
        windows.console.show();
        QVERIFY(QTest::qWaitForWindowExposed(&windows.console));
        const QRect area = windows.console.screen()->availableGeometry();
        const QRect opened = windows.console.frameGeometry();
        QRect centred = opened;
        centred.moveCenter(windows.panel.frameGeometry().center());
        if (area.contains(centred))
            QCOMPARE(opened, centred);
        QVERIFY(opened.left() >= area.left() && opened.top() >= area.top());
    }
};

QTEST_MAIN(TestLayout)
#include "tst_layout.moc"
