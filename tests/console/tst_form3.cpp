#include "catalogue.h"
#include "form3.h"
#include "line_constants.h"
#include "line_settings.h"
#include "session_rig.h"
#include "trace.h"
#include "window_controls.h"

#include <array>
#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QCompleter>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTest>

using namespace kavo;
using namespace kavo::test;
using std::chrono::milliseconds;

namespace {

// An opened link as "COMMANDTABLE" leaves it, and a console over it.
struct Rig : SessionRig {
    int mainWindowShown = 0;
    QPointer<Form3> form;

    Rig() {
        store.setStartUp(QStringLiteral("2"), QStringLiteral("96"));
        session.startUp();
        logic.Command74_Click(); // "COMMANDTABLE"
        form = new Form3(session, [this] { ++mainWindowShown; });
    }
    ~Rig() { delete form.data(); }

    QComboBox* list(int number) const {
        return std::array{control<QComboBox>(*form, "Combo", 1),
                          control<QComboBox>(*form, "Combo", 2),
                          control<QComboBox>(*form, "Combo", 3)}
            .at(number - 1);
    }
    QPushButton* listButton(int number) const {
        return std::array{control<QPushButton>(*form, "Command", 3),
                          control<QPushButton>(*form, "Command", 4),
                          control<QPushButton>(*form, "Command", 5)}
            .at(number - 1);
    }
    // The operator brings list `number` up and selects the entry starting with `prefix`.
    void pick(int number, const QString& prefix) {
        listButton(number)->click();
        QComboBox* combo = list(number);
        for (int i = 0; i < combo->count(); ++i) {
            if (combo->itemText(i).startsWith(prefix)) {
                combo->setCurrentIndex(i);
                return;
            }
        }
        QFAIL(qPrintable(prefix));
    }
    // The console on screen and active, list `number` brought up and its
    // field in focus, ready for typing.
    QComboBox* typeInto(int number) {
        form->show();
        QApplication::setActiveWindow(form);
        listButton(number)->click();
        QComboBox* combo = list(number);
        combo->setFocus();
        return combo;
    }
    void send() { control<QPushButton>(*form, "Command", 1)->click(); }
    bool shown(const QWidget* widget) const { return widget->isVisibleTo(form); }
};

const QString kCrText(kCr);

} // namespace

class TestForm3 : public QObject {
    Q_OBJECT
  private slots:
    void loading() {
        Rig rig;
        Form3& form = *rig.form;
        QCOMPARE(form.windowTitle(), QStringLiteral("Command List"));
        QVERIFY(rig.shown(control<QComboBox>(form, "Combo", 1)));
        QVERIFY(!rig.shown(control<QComboBox>(form, "Combo", 2)) &&
                !rig.shown(control<QComboBox>(form, "Combo", 3)));
        QCOMPARE(control<QComboBox>(form, "Combo", 1)->currentIndex(), 0);
        QCOMPARE(control<QLineEdit>(form, "Text", 1)->text(), QStringLiteral("C00[CR]"));
        QCOMPARE(form.Console_cmd(), QStringLiteral("C00") + kCrText);
        QVERIFY(rig.shown(control<QLabel>(form, "Label", 2)));
        QVERIFY(!rig.shown(control<QLabel>(form, "Label", 1)));
        for (const QComboBox* list :
             {control<QComboBox>(form, "Combo", 1), control<QComboBox>(form, "Combo", 2),
              control<QComboBox>(form, "Combo", 3)})
            QCOMPARE(list->y(), 1560 / 15);
        QVERIFY(!control<QComboBox>(form, "Combo", 1)->isEditable());
        for (const QComboBox* list :
             {control<QComboBox>(form, "Combo", 2), control<QComboBox>(form, "Combo", 3)}) {
            QVERIFY(list->isEditable());
            QCOMPARE(list->insertPolicy(), QComboBox::NoInsert);
        }
        // Items keep their TABs whatever the list draws.
        QCOMPARE(control<QComboBox>(form, "Combo", 2)->itemText(0),
                 catalogue::extendedSetList().first());

        form.show();
        QCOMPARE(form.frameGeometry().height(), (2500 + 7) / 15);
        QCOMPARE(form.width(), (10005 + 7) / 15);
    }

    // Lists draw TABs as blanks and show every entry whole in their pop-ups.
    void listsShowEntriesWhole() {
        Rig rig;
        rig.form->show();
        for (QComboBox* combo :
             {control<QComboBox>(*rig.form, "Combo", 1), control<QComboBox>(*rig.form, "Combo", 2),
              control<QComboBox>(*rig.form, "Combo", 3)}) {
            combo->show();
            const auto* delegate =
                qobject_cast<QStyledItemDelegate*>(combo->view()->itemDelegate());
            QVERIFY(delegate);
            for (int i = 0; i < combo->count(); ++i) {
                const QString entry = combo->itemText(i);
                const QString drawn = delegate->displayText(entry, QLocale::c());
                QVERIFY2(!drawn.contains(QLatin1Char('\t')), qPrintable(drawn));
                QCOMPARE(drawn.simplified(), entry.simplified());
            }
            combo->showPopup();
            QVERIFY(combo->view()->viewport()->width() >= combo->view()->sizeHintForColumn(0));
            combo->hidePopup();
        }
    }

    void tabOrder() {
        Rig rig;
        Form3& form = *rig.form;
        control<QComboBox>(*rig.form, "Combo", 2)->show();
        control<QComboBox>(*rig.form, "Combo", 3)->show();
        const QList<QWidget*> expected{
            control<QComboBox>(form, "Combo", 1),     control<QPushButton>(form, "Command", 1),
            control<QPushButton>(form, "Command", 2), control<QPushButton>(form, "Command", 3),
            control<QLineEdit>(form, "Text", 1),      control<QPushButton>(form, "Command", 4),
            control<QPushButton>(form, "Command", 5), control<QComboBox>(form, "Combo", 2),
            control<QComboBox>(form, "Combo", 3)};
        QList<QWidget*> chain;
        QWidget* widget = control<QComboBox>(form, "Combo", 1);
        do {
            if (widget->parentWidget() == &form && widget->focusPolicy() & Qt::TabFocus)
                chain << widget;
            widget = widget->nextInFocusChain();
        } while (widget != control<QComboBox>(form, "Combo", 1) && chain.size() < 20);
        QCOMPARE(chain, expected);
    }

    void sendsCommandPartOfBox_data() {
        QTest::addColumn<QString>("box");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("no marker") << "C00" << QByteArray("\x43\x30\x30\x0D");
        QTest::newRow("digits typed") << "CF VOLUME 042[CR]" << QByteArray("CF VOLUME 042\r");
        QTest::newRow("marker deleted") << "CF VOLUME 042" << QByteArray("CF VOLUME 042\r");
        QTest::newRow("placeholders left") << "CF VOLUME 0%%[CR]" << QByteArray("CF VOLUME 0%%\r");
        QTest::newRow("two commands") << "C00[CR]C01[CR]" << QByteArray("C00\r");
        QTest::newRow("starts with marker") << "[CR]" << QByteArray("\r");
        QTest::newRow("emptied") << "" << QByteArray("\r");
        QTest::newRow("blanks kept") << " CR0 [CR] x" << QByteArray(" CR0 \r");
    }
    void sendsCommandPartOfBox() {
        QFETCH(QString, box);
        Rig rig;
        control<QLineEdit>(*rig.form, "Text", 1)->setText(box);
        rig.send();
        QTEST(rig.port.takeWritten(), "wire");
        // The box and the line stay: a second "SEND" sends the same again.
        QLineEdit* line = control<QLineEdit>(*rig.form, "Text", 1);
        QCOMPARE(line->text(), box);
        rig.send();
        QTEST(rig.port.takeWritten(), "wire");
        // Return in the command line sends as "SEND" does; a screen reader names the line.
        QTest::keyClick(line, Qt::Key_Return);
        QTEST(rig.port.takeWritten(), "wire");
        QCOMPARE(QAccessible::queryAccessibleInterface(line)->text(QAccessible::Name),
                 QStringLiteral("Command line"));
    }

    void overtypedPlaceholders() {
        Rig rig;
        rig.pick(2, QStringLiteral("CF VOLUME 0%%"));
        QLineEdit* box = control<QLineEdit>(*rig.form, "Text", 1);
        QCOMPARE(box->text(), QStringLiteral("CF VOLUME 0%%[CR]"));
        box->setCursorPosition(QStringLiteral("CF VOLUME 0%%").size());
        QTest::keyClick(box, Qt::Key_Backspace);
        QTest::keyClick(box, Qt::Key_Backspace);
        QTest::keyClicks(box, QStringLiteral("57"));
        QCOMPARE(rig.form->Console_cmd(), QStringLiteral("CF VOLUME 057") + kCrText);
        rig.send();
        QCOMPARE(rig.port.takeWritten(), QByteArray("CF VOLUME 057\r"));
    }

    void hintsAfterPicks_data() {
        QTest::addColumn<int>("list");
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("box");
        QTest::addColumn<bool>("parameterHint");
        QTest::newRow("digits") << 2 << "CF VOLUME 0%%[CR]"
                                << "CF VOLUME 0%%[CR]" << true;
        QTest::newRow("% in description") << 2 << "CF INPUT1 ANALOG[CR]"
                                          << "CF INPUT1 ANALOG[CR]" << true;
        QTest::newRow("later INPUT1 entry") << 2 << "CF INPUT1 SCART[CR]"
                                            << "CF INPUT1 SCART[CR]" << false;
        QTest::newRow("bare placeholder") << 2 << "CF P-MANETIME %%[CR]"
                                          << "CF P-MANETIME %%[CR]" << true;
        QTest::newRow("read") << 3 << "CR LAMPSTS[CR]"
                              << "CR LAMPSTS[CR]" << false;
        QTest::newRow("basic") << 1 << "C0F[CR]"
                               << "C0F[CR]" << false;
    }
    void hintsAfterPicks() {
        QFETCH(int, list);
        QFETCH(QString, entry);
        QFETCH(bool, parameterHint);
        Rig rig;
        Form3& form = *rig.form;
        control<QPushButton>(form, "Command", 2)->setFocus();
        rig.send(); // both hints hidden
        rig.pick(list, entry);
        QTEST(control<QLineEdit>(form, "Text", 1)->text(), "box");
        QVERIFY(rig.shown(control<QLabel>(form, "Label", 2)));
        QCOMPARE(rig.shown(control<QLabel>(form, "Label", 1)), parameterHint);
        QCOMPARE(form.focusWidget() == control<QLineEdit>(form, "Text", 1), parameterHint);

        rig.send();
        QVERIFY(!rig.shown(control<QLabel>(form, "Label", 1)) &&
                !rig.shown(control<QLabel>(form, "Label", 2)));
        const QString command = catalogue::commandPart(entry);
        QCOMPARE(rig.port.takeWritten(), (command + kCrText).toLatin1().prepend("C00\r"));
    }

    // The parameter hint answers only to the extended set list, "SEND" and
    // loading; list buttons change a hint only through a change of selection.
    void hintsOverListSwitches() {
        Rig rig;
        Form3& form = *rig.form;
        rig.pick(2, QStringLiteral("CF LOGO %%%% DFLT"));
        QVERIFY(rig.shown(control<QLabel>(form, "Label", 1)));
        rig.pick(1, QStringLiteral("C00"));
        rig.pick(3, QStringLiteral("CR LAMPH"));
        QVERIFY(rig.shown(control<QLabel>(form, "Label", 1)));
        rig.send();
        control<QPushButton>(form, "Command", 3)->click(); // already on its first entry
        QVERIFY(!rig.shown(control<QLabel>(form, "Label", 1)) &&
                !rig.shown(control<QLabel>(form, "Label", 2)));
        QCOMPARE(control<QLineEdit>(form, "Text", 1)->text(), QStringLiteral("C00[CR]"));
        control<QPushButton>(form, "Command", 4)
            ->click(); // back from "CF LOGO %%%% DFLT" to the first entry
        QVERIFY(!rig.shown(control<QLabel>(form, "Label", 1)) &&
                rig.shown(control<QLabel>(form, "Label", 2)));
        QCOMPARE(control<QLineEdit>(form, "Text", 1)->text(),
                 QStringLiteral("CF KEYEMU RIGHT[CR]"));
    }

    void switchingListsSelectsFirstEntry_data() {
        QTest::addColumn<int>("list");
        QTest::addColumn<QString>("box");
        QTest::addColumn<int>("left"); // the entry the list is left on
        QTest::newRow("basic") << 1 << "C00[CR]" << 5;
        QTest::newRow("extended set") << 2 << "CF KEYEMU RIGHT[CR]" << 5;
        QTest::newRow("extended read") << 3 << "CR STATUS[CR]" << 5;
        QTest::newRow("extended set, typed on its first entry") << 2 << "CF KEYEMU RIGHT[CR]" << 0;
        QTest::newRow("extended read, typed on its first entry") << 3 << "CR STATUS[CR]" << 0;
    }
    void switchingListsSelectsFirstEntry() {
        QFETCH(int, list);
        QFETCH(int, left);
        Rig rig;
        rig.listButton(list)->click();
        QComboBox* combo = rig.list(list);
        combo->setCurrentIndex(left);
        if (combo->isEditable())
            QTest::keyClicks(combo->lineEdit(), QStringLiteral("typed"));
        rig.listButton(list % 3 + 1)->click();
        QVERIFY(!rig.shown(combo));
        rig.listButton(list)->click();
        for (int other = 1; other <= 3; ++other)
            QCOMPARE(rig.shown(rig.list(other)), other == list);
        QCOMPARE(combo->currentIndex(), 0);
        QCOMPARE(combo->currentText(), combo->itemText(0));
        QTEST(control<QLineEdit>(*rig.form, "Text", 1)->text(), "box");
        QCOMPARE(rig.form->Console_cmd(), catalogue::commandPart(combo->itemText(0)) + kCrText);
    }

    // Typing only looks for entries; choosing a suggestion is a selection.
    void typingSearchesEntries_data() {
        QTest::addColumn<int>("list");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("box");
        QTest::newRow("set, inside the entry") << 2 << "laser"
                                               << "CF POINTER LASER[CR]";
        QTest::newRow("set, description") << 2 << "geman"
                                          << "CF LANG DEU[CR]";
        QTest::newRow("read, upper case") << 3 << "SERIAL NO"
                                          << "CR SERIALNO[CR]";
    }
    void typingSearchesEntries() {
        QFETCH(int, list);
        QFETCH(QString, typed);
        Rig rig;
        QComboBox* combo = rig.typeInto(list);
        const int count = combo->count();
        QTest::keyClicks(combo->lineEdit(), QStringLiteral("C00 nothing like it"));
        QTest::keyClick(combo->lineEdit(), Qt::Key_Return);
        QCOMPARE(combo->currentIndex(), 0);
        QCOMPARE(combo->count(), count);
        QCOMPARE(rig.form->Console_cmd(), catalogue::commandPart(combo->itemText(0)) + kCrText);

        combo->lineEdit()->selectAll();
        QTest::keyClicks(combo->lineEdit(), typed);
        QAbstractItemView* popup = combo->completer()->popup();
        QVERIFY(popup->isVisible());
        QCOMPARE(popup->model()->rowCount(), 1);
        QCOMPARE(combo->currentIndex(), 0); // nothing picked yet
        popup->setCurrentIndex(popup->model()->index(0, 0));
        QTest::keyClick(popup, Qt::Key_Return);
        QTEST(control<QLineEdit>(*rig.form, "Text", 1)->text(), "box");
        QTEST(catalogue::commandPart(combo->itemText(combo->currentIndex())) + catalogue::kCrMarker,
              "box");
    }

    // An entry's whole text typed into the field is still only a search:
    // finishing the edit, by Return or by leaving the field, picks nothing.
    void typedEntryTextIsNotAPick_data() {
        QTest::addColumn<int>("list");
        QTest::addColumn<bool>("byReturn");
        QTest::newRow("set, Return") << 2 << true;
        QTest::newRow("set, focus leaves") << 2 << false;
        QTest::newRow("read, Return") << 3 << true;
        QTest::newRow("read, focus leaves") << 3 << false;
    }
    void typedEntryTextIsNotAPick() {
        QFETCH(int, list);
        QFETCH(bool, byReturn);
        Rig rig;
        QComboBox* combo = rig.typeInto(list);
        const QString command = rig.form->Console_cmd();
        combo->lineEdit()->selectAll();
        QTest::keyClicks(combo->lineEdit(), combo->itemText(5).toLower());
        if (byReturn) {
            QTest::keyClick(combo->lineEdit(), Qt::Key_Return);
        } else {
            QTest::keyClick(combo->completer()->popup(), Qt::Key_Escape);
            control<QPushButton>(*rig.form, "Command", 1)->setFocus();
            QVERIFY(!combo->lineEdit()->hasFocus());
        }
        QCOMPARE(combo->currentIndex(), 0);
        QCOMPARE(rig.form->Console_cmd(), command);
    }

    // Status decoding keys on what the panel last sent, never on the console.
    void curCmdUntouched_data() {
        QTest::addColumn<QString>("panelLast");
        QTest::addColumn<QString>("status");
        QTest::newRow("panel sent C00") << "C00\r"
                                        << "";
        QTest::newRow("panel sent CR0") << "CR0\r"
                                        << " Power ON";
    }
    void curCmdUntouched() {
        QFETCH(QString, panelLast);
        Rig rig;
        rig.values.Cur_cmd = panelLast;
        control<QLineEdit>(*rig.form, "Text", 1)->setText(QStringLiteral("CR0"));
        rig.send();
        rig.port.receive(QStringLiteral("00\r"));
        QCOMPARE(rig.engine.display().rxd, QStringLiteral(" 0 0  [CR] "));
        QTEST(rig.engine.display().status, "status");
        QCOMPARE(rig.values.Cur_cmd, panelLast);
    }

    // With the port closed (its dialog open from the panel) a send writes
    // nothing and does not reopen it, and still shows its line and times out.
    void sendWithPortClosed() {
        Rig rig;
        rig.port.close();
        rig.send();
        QVERIFY(!rig.port.isOpen());
        QVERIFY(rig.port.written.isEmpty());
        QCOMPARE(rig.engine.display().txd, QStringLiteral(" C 0 0  [CR] "));
        rig.clock.advance(milliseconds(5000));
        QCOMPARE(rig.engine.display().rxd, kNoReplyMarker);
    }

    void closing_data() {
        QTest::addColumn<QString>("by");
        QTest::newRow("CLOSE") << "CLOSE";
        QTest::newRow("close box") << "close box";
        QTest::newRow("Escape in the command line") << "Text1";
        QTest::newRow("Escape on a list") << "Combo1";
    }
    void closing() {
        QFETCH(QString, by);
        Rig rig;
        rig.form->show();
        rig.send();
        QCOMPARE(rig.engine.Timer2().interval(), milliseconds(5000));
        QCOMPARE(rig.engine.Timer4().interval(), milliseconds(5500));
        rig.clock.advance(milliseconds(4999));
        QCOMPARE(rig.engine.display().rxd, QString());
        rig.clock.advance(milliseconds(1));
        QCOMPARE(rig.engine.display().rxd, kNoReplyMarker);
        rig.clock.advance(milliseconds(499));
        QVERIFY(!rig.engine.display().txd.isEmpty());
        rig.clock.advance(milliseconds(1));
        QCOMPARE(rig.engine.display().txd, QString());

        if (by == QLatin1String("close box"))
            rig.form->close();
        else if (by == QLatin1String("CLOSE"))
            control<QPushButton>(*rig.form, "Command", 2)->click();
        else
            QTest::keyClick(rig.form->findChild<QWidget*>(by), Qt::Key_Escape);
        QCOMPARE(rig.mainWindowShown, 1);
        QCOMPARE(rig.engine.Timer2().interval(), milliseconds(1000));
        QCOMPARE(rig.engine.Timer4().interval(), milliseconds(1200));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(rig.form.isNull());
        QCOMPARE(rig.mainWindowShown, 1);

        // The reply window of the next send is the short one again.
        rig.engine.Hyouji(QStringLiteral("C00\r"), 1);
        rig.clock.advance(milliseconds(1000));
        QCOMPARE(rig.engine.display().rxd, kNoReplyMarker);
    }
};

QTEST_MAIN(TestForm3)
#include "tst_form3.moc"
