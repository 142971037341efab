// The windows at the display scale of the run (CTest: QT_SCALE_FACTOR 1,
// 1.25, 1.5 and 2), font pinned: every visible control's caption fits, no two
// controls overlap, and a frame's controls keep clear of its border and title.

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
#include <QRadioButton>
#include <QRegularExpression>
#include <QScreen>
#include <QTest>

using namespace kavo;
using namespace kavo::test;

namespace {

// The caption's ink, drawn centred in the control's room for text, must stay inside it.
bool captionFits(QWidget* control) {
    const QFontMetrics metrics(control->font());
    QString text;
    QRect room = control->contentsRect();
    if (auto* button = qobject_cast<QAbstractButton*>(control)) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = text = button->text();
        room = button->style()->subElementRect(qobject_cast<QRadioButton*>(button)
                                                   ? QStyle::SE_RadioButtonContents
                                                   : QStyle::SE_PushButtonContents,
                                               &option, button);
    } else if (auto* label = qobject_cast<QLabel*>(control)) {
        text = label->text();
        if (label->frameWidth() > 0) // the indent QLabel keeps in a frame
            room.setWidth(room.width() - metrics.horizontalAdvance(QLatin1Char('x')));
    }
    const QRect ink = metrics.tightBoundingRect(text);
    const int baseline = room.top() + (room.height() - metrics.height()) / 2 + metrics.ascent();
    return text.isEmpty() ||
           (metrics.horizontalAdvance(text) <= room.width() && baseline + ink.top() >= room.top() &&
            baseline + ink.bottom() <= room.bottom());
}

// The faults of the designed controls on `parent` (a window or a frame) and below.
QStringList layoutFaults(QWidget* parent, const QRect& inside) {
    static const QRegularExpression designed(
        QStringLiteral("^(Command|Label|Frame|Option|Text|Combo)\\d+$"));
    QList<QWidget*> controls;
    QStringList faults;
    for (QWidget* c : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (!designed.match(c->objectName()).hasMatch() || !c->isVisibleTo(parent))
            continue;
        controls << c;
        if (!captionFits(c))
            faults << c->objectName() + QStringLiteral(" clips its caption");
        if (!inside.contains(c->geometry()))
            faults << c->objectName() + QStringLiteral(" leaves ") + parent->objectName();
        if (auto* frame = qobject_cast<QGroupBox*>(c))
            faults << layoutFaults(frame, frameInside(frame));
    }
    for (QWidget* a : controls) {
        for (QWidget* b : controls) {
            // A control placed on the window over a frame sits wholly inside it.
            const auto* frame = qobject_cast<QGroupBox*>(a);
            if (a == b || !a->geometry().intersects(b->geometry()) ||
                (frame && frameInside(frame).translated(a->pos()).contains(b->geometry())) ||
                (!frame && qobject_cast<QGroupBox*>(b)) || (!frame && a > b))
                continue;
            faults << a->objectName() + QStringLiteral(" overlaps ") + b->objectName();
        }
    }
    return faults;
}

struct Windows : SessionRig {
    FakeMessageBox messages;
    Form1 panel{session};
    Form2 dialog{session, messages, linkedNetworkPorts(), [] {}};
    Form3 console{session, [] {}};

    Windows() {
        store.setStartUp("1", "192");
        panel.endProgram = [] {};
        panel.Form_Load();
        panel.setOuterHeightTwips(kExtendedHeightTwips);
        values.Cur_cmd = QStringLiteral("CR LAMPMODE\r"); // trace and status shown
        engine.Hyouji(values.Cur_cmd, 1);
        port.receive(QStringLiteral("000 ECO\r"));
        for (const char* legend : {"Label27", "Label28", "Label29"})
            panel.findChild<QLabel*>(QLatin1String(legend))->show();
    }
};

} // namespace

class TestLayout : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() {
        // The sans-serif face of a stock Debian desktop; the Windows checks under Wine use it too.
        if (QFontInfo(QFont(QStringLiteral("DejaVu Sans"))).family() !=
            QLatin1String("DejaVu Sans"))
            QSKIP("DejaVu Sans is not installed (scripts/ensure-deps.sh installs it)");
    }

    void everyCaptionFitsAndNothingOverlaps_data() {
        QTest::addColumn<int>("window"); // 1 panel, 2 port dialog, 3 console
        QTest::addColumn<int>("list");   // the console's list shown
        QTest::addColumn<int>("points"); // Qt's own size, and a desktop's
        for (int points : {9, 11}) {
            QTest::addRow("panel, %d pt", points) << 1 << 0 << points;
            QTest::addRow("port dialog, %d pt", points) << 2 << 0 << points;
            QTest::addRow("console, basic list, %d pt", points) << 3 << 1 << points;
            QTest::addRow("console, set list, both hints, %d pt", points) << 3 << 2 << points;
            QTest::addRow("console, read list, %d pt", points) << 3 << 3 << points;
        }
    }
    void everyCaptionFitsAndNothingOverlaps() {
        QFETCH(int, window);
        QFETCH(int, list);
        QFETCH(int, points);
        QApplication::setFont(QFont(QStringLiteral("DejaVu Sans"), points));
        Windows windows;
        QWidget* shown =
            std::array<QWidget*, 3>{&windows.panel, &windows.dialog, &windows.console}[window - 1];
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

    // Centred over the panel; on a screen too small for that, the title bar stays on it.
    void consoleOpensOverThePanel() {
        QApplication::setFont(QFont(QStringLiteral("DejaVu Sans"), 9));
        Windows windows;
        windows.panel.show();
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
