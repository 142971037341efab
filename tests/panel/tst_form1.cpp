#include "button_map.h"
#include "form1.h"
#include "line_constants.h"
#include "session_rig.h"
#include "trace.h"
#include "window_controls.h"

#include <QAccessible>
#include <QApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTest>

using namespace kavo;
using namespace kavo::test;
using std::chrono::milliseconds;

namespace {

struct Rig : SessionRig {
    Form1 form{session};
    int ended = 0;

    Rig() {
        store.setStartUp("1", "192");
        form.endProgram = [this] { ++ended; };
        form.Form_Load();
        form.show();
    }
    QPushButton* button(int number) { return control<QPushButton>(form, "Command", number); }
    QGroupBox* frame(int number) { return control<QGroupBox>(form, "Frame", number); }
    QLabel* label(int number) { return control<QLabel>(form, "Label", number); }
    void hold(int number, Qt::MouseButton with = Qt::LeftButton) {
        QTest::mousePress(button(number), with);
    }
    void release(int number, Qt::MouseButton with = Qt::LeftButton, QPoint at = {}) {
        QTest::mouseRelease(button(number), with, {},
                            at.isNull() ? button(number)->rect().center() : at);
    }
    int sent(const QByteArray& line) const { return int(port.written.count(line)); }
};

// Heights come back in whole pixels: 15 twips each.
bool sameHeight(int twips, int expected) {
    return std::abs(twips - expected) < 15;
}

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
  public:
    explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    int paints = 0;

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

QWidget* nextTabStop(QWidget* from) {
    QWidget* next = from->nextInFocusChain();
    while (next != from && !(next->focusPolicy() & Qt::TabFocus))
        next = next->nextInFocusChain();
    return next;
}

} // namespace

class TestForm1 : public QObject {
    Q_OBJECT
  private slots:
    void everySendingButtonPutsItsLineOnThePort_data() {
        QTest::addColumn<int>("number");
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("hold");
        // Independent of the panel's own table: button, bytes on the wire.
        const std::pair<int, const char*> clicks[] = {
            {17, "C00"},
            {18, "C01"},
            {36, "C05"},
            {27, "C50"},
            {28, "C51"},
            {29, "C52"},
            {53, "C53"},
            {41, "C08"},
            {15, "C06"},
            {40, "C23"},
            {64, "C24"},
            {65, "C25"},
            {34, "C07"},
            {4, "C33"},
            {11, "C34"},
            {12, "C35"},
            {19, "C0B"},
            {20, "C0C"},
            {21, "C0D"},
            {22, "C0E"},
            {25, "C43"},
            {26, "C44"},
            {69, "C28"},
            {70, "C29"},
            {31, "C0F"},
            {32, "C10"},
            {60, "CF KEYDIS NONE"},
            {61, "CF KEYDIS RC"},
            {62, "CF KEYDIS KEY"},
            {71, "C2A"},
            {72, "C2B"},
            {56, "C2E"},
            {68, "CF LAMPMODE NORMAL"},
            {75, "CF LAMPMODE ECO1"},
            {63, "CF LAMPMODE ECO2"},
            {66, "CF LAMPMODE AUTO"},
            {23, "C1C"},
            {24, "C1D"},
            {6, "C3F"},
            {3, "C1E"},
            {73, "C27"},
            {13, "C89"},
            {14, "C8A"},
            {67, "C8B"},
            {44, "CR0"},
            {45, "CR1"},
            {54, "CR6"},
            {47, "CR4"},
            {46, "CR3"},
            {55, "CR LAMPSTS"},
            {76, "CR LAMPMODE"},
        };
        const std::pair<int, const char*> holds[] = {
            {1, "C09"},  {2, "C0A"},  {30, "C20"}, {42, "C21"}, {48, "C30"}, {49, "C31"},
            {39, "C47"}, {43, "C46"}, {50, "C4B"}, {51, "C4A"}, {52, "C5D"}, {57, "C5F"},
            {58, "C60"}, {59, "C5E"}, {10, "C8E"}, {37, "C91"}, {38, "C90"}, {35, "C8F"},
            {5, "C3C"},  {9, "C3B"},  {8, "C3A"},  {7, "C3D"},
        };
        for (const auto& [number, command] : clicks)
            QTest::addRow("Command%d", number) << number << QByteArray(command) + '\r' << false;
        for (const auto& [number, command] : holds)
            QTest::addRow("Command%d", number) << number << QByteArray(command) + '\r' << true;
        QCOMPARE(std::size(clicks) + std::size(holds), std::size_t(73));
    }
    void everySendingButtonPutsItsLineOnThePort() {
        QFETCH(int, number);
        QFETCH(QByteArray, line);
        QFETCH(bool, hold);
        Rig rig;
        QPushButton* button = rig.button(number);
        if (hold) {
            QTest::mousePress(button, Qt::LeftButton);
            QTest::mouseRelease(button, Qt::LeftButton);
        } else {
            QTest::mouseClick(button, Qt::LeftButton);
        }
        QCOMPARE(rig.port.written, line);
        QCOMPARE(rig.values.Cur_cmd.toLatin1(), line);
        QCOMPARE(button->toolTip().contains(QString::fromLatin1(line.chopped(1))), true);
    }

    void repeatCodesMatchTheirCommands_data() {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("command");
        const std::tuple<int, int, const char*> codes[] = {
            {1, 1, "C09"},   {2, 2, "C0A"},   {3, 5, "C3C"},   {4, 7, "C3D"},   {5, 9, "C3B"},
            {6, 8, "C3A"},   {7, 30, "C20"},  {8, 42, "C21"},  {9, 48, "C30"},  {10, 49, "C31"},
            {11, 10, "C8E"}, {12, 35, "C8F"}, {13, 37, "C91"}, {14, 38, "C90"}, {15, 52, "C5D"},
            {16, 59, "C5E"}, {17, 57, "C5F"}, {18, 58, "C60"}, {19, 39, "C47"}, {20, 43, "C46"},
            {21, 50, "C4B"}, {22, 51, "C4A"},
        };
        for (const auto& [code, number, command] : codes)
            QTest::addRow("code %d", code) << code << number << QString(command);
    }
    void repeatCodesMatchTheirCommands() {
        QFETCH(int, code);
        QFETCH(int, number);
        QFETCH(QString, command);
        const panel::ButtonEntry* entry = panel::findButton(number);
        QVERIFY(entry);
        QCOMPARE(entry->repeatCode, code);
        QCOMPARE(QString::fromLatin1(panel::repeatCommand(code).data(),
                                     qsizetype(panel::repeatCommand(code).size())),
                 command);
    }

    void buttonMapShape() {
        int clicks = 0, holds = 0, functions = 0;
        QSet<int> numbers;
        for (const panel::ButtonEntry& entry : panel::buttons()) {
            numbers.insert(entry.number);
            (entry.kind == panel::Kind::Click  ? clicks
             : entry.kind == panel::Kind::Hold ? holds
                                               : functions)++;
        }
        QCOMPARE(clicks, 51);
        QCOMPARE(holds, 22);
        QCOMPARE(functions, 3);
        QCOMPARE(numbers.size(), 76);
        QVERIFY(*std::min_element(numbers.begin(), numbers.end()) == 1);
        QVERIFY(*std::max_element(numbers.begin(), numbers.end()) == 76);
    }

    void windowAndLayout() {
        Rig rig;
        QCOMPARE(rig.form.windowTitle(),
                 QStringLiteral("KAVO   QV-TN310 QV-TN320  CONTROL  Ver.2.0"));
        QCOMPARE(rig.form.width(), 692);
        QVERIFY(sameHeight(rig.form.outerHeightTwips(), 5780));
        QVERIFY(!(rig.form.windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(rig.form.windowFlags() & Qt::WindowMinimizeButtonHint);
        QCOMPARE(rig.frame(23)->geometry(), QRect(388, 160, 144, 97));
        QCOMPARE(rig.button(16)->geometry(), QRect(624, 293, 60, 57));
        QCOMPARE(rig.button(16)->font().pointSizeF(), 15.75);
        QCOMPARE(rig.button(5)->geometry(), QRect(525, 277, 56, 17));
        QCOMPARE(rig.button(5)->parentWidget(), &rig.form);
        QCOMPARE(rig.label(24)->text(), QStringLiteral("POWER "));
        QCOMPARE(rig.label(29)->text(), QStringLiteral("[ACK]  :ACKnowledgemend Code (0x06)"));
        QCOMPARE(rig.button(17)->palette().color(QPalette::Button), QColor(0x80, 0xFF, 0x80));
        QCOMPARE(rig.button(72)->palette().color(QPalette::Button), QColor(0x00, 0xC0, 0xC0));
        QCOMPARE(rig.button(6)->palette().color(QPalette::Button), QColor(0xFF, 0xC0, 0x80));
        QVERIFY(rig.button(1)->text().isEmpty());
        QCOMPARE(rig.button(1)->iconSize(), QSize(17, 9));
        // The arrow is drawn for the scale asked: a black triangle, and around
        // it nothing but the button's own colour.
        const QImage arrow = rig.button(1)->icon().pixmap(QSize(17, 9), 2.0).toImage();
        QCOMPARE(arrow.size(), QSize(34, 18));
        QCOMPARE(arrow.pixelColor(17, 14), QColor(Qt::black));
        QCOMPARE(arrow.pixelColor(1, 1).alpha(), 0);
        QCOMPARE(rig.button(57)->accessibleName(), QStringLiteral("LENS SHIFT left"));
        QVERIFY(rig.button(57)->toolTip().startsWith(QStringLiteral("LENS SHIFT left")));
        QCOMPARE(rig.label(28)->geometry(), QRect(8, 427, 260, 13));
        QCOMPARE(rig.label(27)->geometry(), QRect(280, 427, 140, 13));
        for (const panel::ButtonEntry& entry : panel::buttons()) {
            if (entry.kind == panel::Kind::Hold)
                QVERIFY2(!rig.button(entry.number)->accessibleName().isEmpty(),
                         qPrintable(rig.button(entry.number)->objectName()));
        }
        // Scripts click where the map says a button's centre is.
        for (const panel::ButtonEntry& entry : panel::buttons()) {
            const QPushButton* b = rig.button(entry.number);
            const panel::Point centre = panel::centreInPixels(entry);
            QVERIFY2(b->mapTo(&rig.form, QPoint(b->width() / 2, b->height() / 2)) ==
                         QPoint(centre.x, centre.y),
                     qPrintable(b->objectName()));
        }
        for (int n = 27; n <= 29; ++n)
            QVERIFY(rig.label(n)->isHidden());
        // Every caption fits its button, at the largest quarter-point size
        // that does (a margin of 3 pixels a side).
        for (const panel::ButtonEntry& entry : panel::buttons()) {
            QPushButton* b = rig.button(entry.number);
            const int room = b->width() - 6;
            QVERIFY2(QFontMetrics(b->font()).horizontalAdvance(b->text()) <= room,
                     qPrintable(b->objectName()));
            const double base = entry.kind == panel::Kind::End ? 15.75 : 7.5;
            if (b->font().pointSizeF() < base) {
                QFont larger = b->font();
                larger.setPointSizeF(larger.pointSizeF() + 0.25);
                QVERIFY2(QFontMetrics(larger).horizontalAdvance(b->text()) > room,
                         qPrintable(b->objectName()));
            }
        }
    }

    void tabOrderStartsAtPowerOn() {
        Rig rig;
        QCOMPARE(rig.form.focusWidget(), rig.button(17));
        QCOMPARE(nextTabStop(rig.button(17)), rig.button(18));
        // Every button is reached by Tab from POWER ON.
        QSet<QWidget*> reached;
        QWidget* at = rig.button(17);
        for (int i = 0; i < 200 && !reached.contains(at); ++i) {
            reached.insert(at);
            at = nextTabStop(at);
        }
        for (const panel::ButtonEntry& entry : panel::buttons())
            QVERIFY2(reached.contains(rig.button(entry.number)),
                     qPrintable(rig.button(entry.number)->objectName()));
    }

    // The command is on the line before the button draws its new look; the
    // drawing follows in the same pass of the event loop.
    void commandLeavesBeforeTheButtonIsDrawn_data() {
        QTest::addColumn<int>("number");
        QTest::addColumn<bool>("arrow");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("STATUS click") << 44 << false << QByteArray("CR0\r");
        QTest::newRow("VOLUME up press") << 1 << true << QByteArray("C09\r");
    }
    void commandLeavesBeforeTheButtonIsDrawn() {
        QFETCH(int, number);
        QFETCH(bool, arrow);
        QFETCH(QByteArray, line);
        Rig rig;
        QVERIFY(QTest::qWaitForWindowExposed(&rig.form));
        QPushButton* button = rig.button(number);
        if (!arrow) {
            QTest::mousePress(button, Qt::LeftButton);
            QCoreApplication::processEvents();
        }
        PaintCounter counter(button);
        int paintsAtSend = -1;
        rig.port.onWrite = [&] { paintsAtSend = counter.paints; };
        if (arrow)
            QTest::mousePress(button, Qt::LeftButton);
        else
            QTest::mouseRelease(button, Qt::LeftButton);
        QCOMPARE(rig.port.written, line);
        QCOMPARE(paintsAtSend, 0);
        QTRY_VERIFY(counter.paints > 0);
        QCOMPARE(button->isDown(), arrow);
        if (arrow)
            rig.release(number);
    }

    void quickClickOnArrowSendsOnce() {
        Rig rig;
        rig.hold(1);
        rig.clock.advance(milliseconds(60));
        rig.release(1);
        rig.clock.advance(milliseconds(2000));
        QCOMPARE(rig.port.written, QByteArray("C09\r"));
    }

    void oneSecondHoldSendsElevenTimes() {
        Rig rig;
        rig.hold(51);
        QCOMPARE(rig.engine.Timer2().interval(), milliseconds(150));
        QCOMPARE(rig.engine.Timer4().interval(), milliseconds(200));
        for (int i = 1; i <= 10; ++i) {
            rig.clock.advance(milliseconds(99));
            QCOMPARE(rig.sent("C4A\r"), i);
            rig.clock.advance(milliseconds(1));
        }
        QCOMPARE(rig.sent("C4A\r"), 11);
        rig.release(51);
        rig.clock.advance(milliseconds(1000));
        QCOMPARE(rig.sent("C4A\r"), 11);
        QCOMPARE(rig.port.written.size(), 44);
    }

    void secondMouseButtonIsIgnoredAndItsReleaseEnds() {
        Rig rig;
        rig.hold(1);
        rig.clock.advance(milliseconds(250));
        rig.hold(1, Qt::RightButton);
        QCOMPARE(rig.sent("C09\r"), 3); // nothing goes out at the second press
        QCOMPARE(rig.values.Cur_cmd, QStringLiteral("C09\r"));
        rig.clock.advance(milliseconds(50));
        QCOMPARE(rig.sent("C09\r"), 4);
        rig.release(1, Qt::RightButton);
        rig.clock.advance(milliseconds(500));
        QCOMPARE(rig.sent("C09\r"), 4);
        rig.release(1, Qt::LeftButton); // the later release changes nothing more
        QCOMPARE(rig.logic.Cont_flag, std::int16_t(0));
    }

    void replyAfterReleaseStandsAlone() {
        Rig rig;
        rig.hold(1);
        rig.port.receive(QStringLiteral("Z")); // the start of a reply during the hold
        rig.release(1);
        rig.port.receive(QString(QChar(0x06)));
        QCOMPARE(rig.label(12)->text(), QStringLiteral("  [ACK] "));
    }

    void rightButtonRepeatsLikeLeft() {
        Rig rig;
        rig.hold(38, Qt::RightButton);
        rig.clock.advance(milliseconds(300));
        rig.release(38, Qt::RightButton);
        QCOMPARE(rig.sent("C90\r"), 4);
    }

    void releaseAfterDraggingOffEnds() {
        Rig rig;
        rig.hold(10);
        QTest::mouseMove(rig.button(10), QPoint(-200, -200));
        rig.clock.advance(milliseconds(200));
        rig.release(10, Qt::LeftButton, QPoint(-200, -200));
        rig.clock.advance(milliseconds(500));
        QCOMPARE(rig.sent("C8E\r"), 3);
    }

    void afterReleaseLinesEmptyAndNoTimeoutMarker() {
        Rig rig;
        rig.hold(2);
        rig.clock.advance(milliseconds(230));
        rig.release(2);
        QCOMPARE(rig.label(11)->text(), QString());
        QCOMPARE(rig.label(12)->text(), QString());
        rig.clock.advance(milliseconds(999));
        QCOMPARE(rig.label(12)->text(), QString());
        QVERIFY(rig.engine.Timer4().isEnabled());
        rig.clock.advance(milliseconds(1));
        QVERIFY(!rig.engine.Timer4().isEnabled());
        // A single-shot send after the hold times out at 500 ms.
        QTest::mouseClick(rig.button(44), Qt::LeftButton);
        rig.clock.advance(milliseconds(499));
        QCOMPARE(rig.label(12)->text(), QString());
        rig.clock.advance(milliseconds(1));
        QCOMPARE(rig.label(12)->text(), kNoReplyMarker);
    }

    // What a screen reader says for each control: group title and caption,
    // the command as description; frames say their titles.
    void accessibleNames_data() {
        QTest::addColumn<QString>("object");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("description");
        QTest::addColumn<int>("role");
        const int button = QAccessible::Button, grouping = QAccessible::Grouping;
        const std::tuple<const char*, const char*, const char*, int> rows[] = {
            {"Command17", "POWER ON", "C00", button},
            {"Command18", "POWER OFF", "C01", button},
            {"Command20", "AUDIO MUTE OFF", "C0C", button},
            {"Command24", "MENU OFF", "C1D", button},
            {"Command72", "POWER Management OFF", "C2B", button},
            {"Command75", "LAMP MODE ECO1", "CF LAMPMODE ECO1", button},
            {"Command12", "INPUT 3 Y,Pb/Cb,Pr/Cr", "C35", button},
            {"Command1", "VOLUME up", "C09", button},
            {"Command6", "MENU ENTER", "C3F", button},
            {"Command44", "STATUS", "CR0", button},
            {"Command16", "END", "", button},
            {"Frame14", "POWER Management", "", grouping},
        };
        for (const auto& [object, name, description, role] : rows)
            QTest::newRow(object) << object << name << description << role;
    }
    void accessibleNames() {
        QFETCH(QString, object);
        Rig rig;
        QAccessibleInterface* read =
            QAccessible::queryAccessibleInterface(rig.form.findChild<QWidget*>(object));
        QVERIFY(read);
        QTEST(read->text(QAccessible::Name), "name");
        QTEST(read->text(QAccessible::Description), "description");
        QTEST(int(read->role()), "role");
        // Captions stay as they are; no two buttons sound alike.
        QSet<QString> names;
        for (const panel::ButtonEntry& entry : panel::buttons()) {
            QCOMPARE(rig.button(entry.number)->text(), QString::fromLatin1(entry.caption));
            names.insert(QAccessible::queryAccessibleInterface(rig.button(entry.number))
                             ->text(QAccessible::Name));
        }
        QCOMPARE(names.size(), 76);
    }

    // A screen reader's or switch device's press on an arrow sends once, as
    // one short click; the space bar still sends nothing.
    void accessiblePressOnArrowSendsOnce() {
        Rig rig;
        QAccessibleActionInterface* actions =
            QAccessible::queryAccessibleInterface(rig.button(51))->actionInterface();
        QVERIFY(actions);
        QVERIFY(actions->actionNames().contains(QAccessibleActionInterface::pressAction()));
        actions->doAction(QAccessibleActionInterface::pressAction());
        rig.clock.advance(milliseconds(1000));
        QCOMPARE(rig.port.written, QByteArray("C4A\r"));
        QCOMPARE(rig.logic.Cont_flag, std::int16_t(0));
        rig.button(51)->setFocus();
        QTest::keyClick(rig.button(51), Qt::Key_Space);
        rig.clock.advance(milliseconds(500));
        QCOMPARE(rig.port.written, QByteArray("C4A\r"));
    }

    void spaceBarOnArrowSendsNothing() {
        Rig rig;
        rig.button(1)->setFocus();
        QTest::keyClick(rig.button(1), Qt::Key_Space);
        rig.clock.advance(milliseconds(500));
        QVERIFY(rig.port.written.isEmpty());
        // On a command button the space bar clicks it.
        rig.button(17)->setFocus();
        QTest::keyClick(rig.button(17), Qt::Key_Space);
        QCOMPARE(rig.port.written, QByteArray("C00\r"));
    }

    void longHoldLeavesNothingBehind() {
        Rig rig;
        const int timers = rig.clock.liveTimers();
        rig.hold(50);
        for (int minute = 0; minute < 10; ++minute)
            rig.clock.advance(milliseconds(60'000));
        rig.release(50);
        QCOMPARE(rig.sent("C4B\r"), 1 + 6000);
        QCOMPARE(rig.clock.liveTimers(), timers);
        QVERIFY(!rig.logic.Timer1().isEnabled());
        // The receive buffer was emptied: what comes now is shown alone.
        rig.port.receive(QStringLiteral("x"));
        QCOMPARE(rig.label(12)->text(), QStringLiteral(" x "));
    }

    void sizeToggle_data() {
        QTest::addColumn<int>("focusOn");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<int>("scanCode"); // the physical key; 0 where unknown
        QTest::addColumn<int>("height");
        const int ctrl = Qt::ControlModifier;
#ifdef Q_OS_WIN
        const int scanH = 0x23, scanJ = 0x24;
#else
        const int scanH = 43, scanJ = 44; // evdev key codes as X11 and Wayland give them
#endif
        QTest::newRow("Ctrl+H on POWER ON") << 17 << int(Qt::Key_H) << ctrl << 0 << 8100;
        QTest::newRow("Ctrl+H on an arrow") << 1 << int(Qt::Key_H) << ctrl << 0 << 8100;
        QTest::newRow("Ctrl+H on END") << 16 << int(Qt::Key_H) << ctrl << 0 << 8100;
        QTest::newRow("Ctrl+Shift+H")
            << 17 << int(Qt::Key_H) << int(ctrl | Qt::ShiftModifier) << 0 << 5780;
        QTest::newRow("Ctrl+Alt+H")
            << 17 << int(Qt::Key_H) << int(ctrl | Qt::AltModifier) << 0 << 5780;
        QTest::newRow("plain H") << 17 << int(Qt::Key_H) << 0 << 0 << 5780;
        QTest::newRow("Ctrl+J") << 17 << int(Qt::Key_J) << ctrl << 0 << 5780;
        // On a non-Latin layout the H key is known by its place. Qt gives a
        // letter key as its upper-case code point: U+0420 and U+041E are the
        // Cyrillic letters on the H and J keys of a Russian layout.
        const int cyrillicEr = 0x0420, cyrillicO = 0x041E;
        QTest::newRow("Ctrl+H key, Cyrillic layout") << 17 << cyrillicEr << ctrl << scanH << 8100;
        QTest::newRow("Ctrl+H key, Greek layout")
            << 17 << int(Qt::Key_unknown) << ctrl << scanH << 8100;
        QTest::newRow("Ctrl+J key, Cyrillic layout") << 17 << cyrillicO << ctrl << scanJ << 5780;
        QTest::newRow("Ctrl+Shift+H key, Cyrillic layout")
            << 17 << cyrillicEr << int(ctrl | Qt::ShiftModifier) << scanH << 5780;
        // A Latin layout's own letter counts, wherever its key is.
        QTest::newRow("Ctrl+H elsewhere, Latin layout")
            << 17 << int(Qt::Key_H) << ctrl << scanJ << 8100;
        QTest::newRow("Ctrl+J at the H key, Latin layout")
            << 17 << int(Qt::Key_J) << ctrl << scanH << 5780;
    }
    void sizeToggle() {
        QFETCH(int, focusOn);
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(int, scanCode);
        Rig rig;
        rig.button(focusOn)->setFocus();
        const auto mods = Qt::KeyboardModifiers(modifiers);
        const QString text = key == Qt::Key_unknown ? QStringLiteral("\u03b7") : QString();
        QKeyEvent press(QEvent::KeyPress, key, mods, quint32(scanCode), 0, 0, text);
        QKeyEvent release(QEvent::KeyRelease, key, mods, quint32(scanCode), 0, 0, text);
        QApplication::sendEvent(rig.button(focusOn), &press);
        QApplication::sendEvent(rig.button(focusOn), &release);
        QFETCH(int, height);
        QVERIFY2(sameHeight(rig.form.outerHeightTwips(), height),
                 qPrintable(QString::number(rig.form.outerHeightTwips())));
        QVERIFY(rig.port.written.isEmpty());
    }

    void sizeToggleFlipsBack() {
        Rig rig;
        for (int expected : {8100, 5780, 8100}) {
            QTest::keyClick(rig.form.focusWidget(), Qt::Key_H, Qt::ControlModifier);
            QVERIFY(sameHeight(rig.form.outerHeightTwips(), expected));
        }
    }

    void toggleDecisionAtThreshold_data() {
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("next");
        QTest::newRow("7000") << 7000 << 5780;
        QTest::newRow("6999") << 6999 << 8100;
        QTest::newRow("9000") << 9000 << 5780;
        QTest::newRow("100") << 100 << 8100;
    }
    void toggleDecisionAtThreshold() {
        QFETCH(int, height);
        QTEST(PanelLogic::Form_KeyDown(72, 2, height), "next");
        QCOMPARE(PanelLogic::Form_KeyDown(72, 3, height), 0);
        QCOMPARE(PanelLogic::Form_KeyDown(72, 2 | 8, height) != 0, true); // bits above Alt ignored
    }

    void endClosesPortAndEndsProgram() {
        Rig rig;
        bool dialogShown = false;
        rig.form.showPortDialogFromPanel = [&] { dialogShown = true; };
        QTest::mouseClick(rig.button(33), Qt::LeftButton);
        QVERIFY(dialogShown);
        QVERIFY(rig.port.isOpen()); // closing is the dialog entry's business
        QTest::mouseClick(rig.button(16), Qt::LeftButton);
        QVERIFY(!rig.port.isOpen());
        QCOMPARE(rig.ended, 1);
    }

    void commandTableHidesStatusAndLengthensWindows() {
        Rig rig;
        int opened = 0;
        rig.logic.openConsole = [&] { ++opened; };
        QTest::mouseClick(rig.button(74), Qt::LeftButton);
        QCOMPARE(opened, 1);
        QVERIFY(rig.frame(15)->isHidden());
        QCOMPARE(rig.engine.Timer2().interval(), milliseconds(5000));
        QCOMPARE(rig.engine.Timer4().interval(), milliseconds(5500));
        QVERIFY(rig.port.written.isEmpty());
    }

    void lostLineIsSaidInTheTitleUntilBack() {
        Rig rig;
        rig.port.loseLine();
        QVERIFY(rig.form.windowTitle().startsWith(QStringLiteral("KAVO   QV-TN310")));
        QVERIFY(rig.form.windowTitle().contains(QStringLiteral("port lost")));
        QTest::mouseClick(rig.button(17), Qt::LeftButton); // reopens silently
        QCOMPARE(rig.form.windowTitle(),
                 QStringLiteral("KAVO   QV-TN310 QV-TN320  CONTROL  Ver.2.0"));
        QCOMPARE(rig.port.written, QByteArray("C00\r"));
    }

    void floodTraceOnTheLineIsBounded() {
        Rig rig;
        QTest::mouseClick(rig.button(44), Qt::LeftButton);
        rig.port.receive(QString(40000, QLatin1Char('Q')));
        QCOMPARE(rig.engine.display().rxd.size(), 1 + 2 * kRxBufCapacity);
        QVERIFY(rig.label(12)->text().size() <= 4096);
        QVERIFY(rig.label(12)->text().startsWith(QStringLiteral(" Q Q Q")));
    }

    void decodedStatusShowsOnLabel25() {
        Rig rig;
        QTest::mouseClick(rig.button(45), Qt::LeftButton);
        rig.port.receive(QStringLiteral("2\r"));
        QCOMPARE(rig.label(12)->text(), QStringLiteral(" 2  [CR] "));
        QCOMPARE(rig.label(25)->text(), QStringLiteral(" Input 2"));
        QVERIFY(rig.label(28)->isVisibleTo(&rig.form));
        // A screen reader reads the lines' text, and their role beside it.
        for (auto [line, role] :
             {std::pair{rig.label(11), "TxD"}, {rig.label(12), "RxD"}, {rig.label(25), "STATUS"}}) {
            QAccessibleInterface* read = QAccessible::queryAccessibleInterface(line);
            QVERIFY(read);
            QCOMPARE(read->text(QAccessible::Name), line->text());
            QCOMPARE(read->text(QAccessible::Description), QLatin1String(role));
            QVERIFY(read->textInterface());
            QCOMPARE(read->textInterface()->text(0, read->textInterface()->characterCount()),
                     line->text());
        }
        // Screen readers speak a status bar when it changes.
        QCOMPARE(QAccessible::queryAccessibleInterface(rig.label(25))->role(),
                 QAccessible::StatusBar);
    }
};

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
