#include "form3.h"

#include "catalogue.h"
#include "line_constants.h"
#include "line_settings.h"
#include "outer_frame.h"
#include "twips.h"
#include "widget_fit.h"

#include <QAbstractItemView>
#include <QCloseEvent>
#include <QComboBox>
#include <QCompleter>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStyledItemDelegate>

namespace kavo {
namespace {

constexpr double kCaptionPoints = 9.75;

void place(QWidget* widget, int left, int top, int width, int height) {
    placeTwips(widget, left, top, width, height);
    // "Expand Read Command List" is wider than its button in a desktop face.
    if (auto* button = qobject_cast<QPushButton*>(widget))
        fitCaption(button, kCaptionPoints);
}

constexpr int kTabColumns = 8;

// Entries keep their TABs; lists draw them as blanks up to the next stop of
// eight columns, so descriptions line up roughly and nothing is read as a
// shortcut column.
QString expandTabs(const QString& text) {
    QString shown;
    for (const QChar c : text) {
        if (c == QLatin1Char('\t'))
            shown += QString(kTabColumns - shown.size() % kTabColumns, QLatin1Char(' '));
        else
            shown += c;
    }
    return shown;
}

class TabExpandingDelegate final : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QString displayText(const QVariant& value, const QLocale& locale) const override {
        return expandTabs(QStyledItemDelegate::displayText(value, locale));
    }
};

// Entries run to about a hundred characters, wider than the lists: their
// pop-ups widen to the longest entry instead of cutting it.
void showEntriesWhole(QAbstractItemView* view, QWidget* popup) {
    view->setItemDelegate(new TabExpandingDelegate(view));
    view->setTextElideMode(Qt::ElideNone);
    constexpr int kBreathingRoom = 8;
    const int width = view->sizeHintForColumn(0) + view->verticalScrollBar()->sizeHint().width() +
                      2 * view->frameWidth() + kBreathingRoom;
    popup->setMinimumWidth(width);
}

QFont boldFace(QFont font) {
    font.setPointSizeF(kCaptionPoints);
    font.setBold(true);
    return font;
}

QPushButton* makeButton(QWidget* parent, const char* name, const QString& caption) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QLatin1String(name));
    button->setFont(boldFace(button->font()));
    button->setAutoDefault(false);
    return button;
}

QLabel* makeHint(QWidget* parent, const char* name, const QString& text) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setFont(boldFace(label->font()));
    label->setTextFormat(Qt::PlainText);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Qt::red);
    label->setPalette(palette);
    return label;
}

// The lists start with nothing selected, so that selecting the first entry
// is a change that runs the list's click handler.
QComboBox* makeList(QWidget* parent, const char* name, const QStringList& entries, bool editable) {
    auto* list = new QComboBox(parent);
    list->setObjectName(QLatin1String(name));
    list->setMaxVisibleItems(20);
    list->addItems(entries);
    showEntriesWhole(list->view(), list->view()->parentWidget());
    if (editable) {
        // The typed text only looks for entries: it never becomes one, and
        // only choosing an entry (from the list or a suggestion) picks it.
        list->setEditable(true);
        list->setInsertPolicy(QComboBox::NoInsert);
        // A QComboBox selects the entry matching the typed text when editing
        // finishes (Return, or the focus leaving); here that is no pick.
        QObject::disconnect(list->lineEdit(), &QLineEdit::returnPressed, list, nullptr);
        QObject::disconnect(list->lineEdit(), &QLineEdit::editingFinished, list, nullptr);
        auto* completer = new QCompleter(list->model(), list);
        completer->setFilterMode(Qt::MatchContains);
        completer->setCaseSensitivity(Qt::CaseInsensitive);
        completer->setCompletionMode(QCompleter::PopupCompletion);
        completer->setMaxVisibleItems(20);
        list->setCompleter(completer);
        showEntriesWhole(completer->popup(), completer->popup());
    }
    list->setCurrentIndex(-1);
    return list;
}

} // namespace

Form3::Form3(PanelSession& session, std::function<void()> showMainWindow, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_session(session), m_showMainWindow(std::move(showMainWindow)),
      m_outerFrame(new OuterFrame(this)) {
    setObjectName(QStringLiteral("Form3"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(kForm3Caption);
    buildControls();
    Form_Load();
}

Form3::~Form3() = default;

void Form3::buildControls() {
    // Created in tab order; labels take no focus.
    Combo1 = makeList(this, "Combo1", catalogue::basicList(), false);
    place(Combo1, 120, 2400, 5055, 300);
    Command1 = makeButton(this, "Command1", QStringLiteral("SEND"));
    place(Command1, 9000, 680, 855, 375);
    Command2 = makeButton(this, "Command2", QStringLiteral("CLOSE"));
    place(Command2, 9000, 1320, 855, 375);
    Command3 = makeButton(this, "Command3", QStringLiteral("Basic Command List"));
    place(Command3, 120, 120, 2415, 375);
    Text1 = new QLineEdit(this);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setAccessibleName(QStringLiteral("Command line"));
    place(Text1, 120, 720, 8655, 300);
    Command4 = makeButton(this, "Command4", QStringLiteral("Expand Command List"));
    place(Command4, 2760, 120, 2655, 375);
    Command5 = makeButton(this, "Command5", QStringLiteral("Expand Read Command List"));
    place(Command5, 5760, 120, 3015, 375);
    Label1 = makeHint(this, "Label1", QStringLiteral("% :Parameter (0-9)."));
    place(Label1, 4560, 1200, 2895, 300);
    Combo2 = makeList(this, "Combo2", catalogue::extendedSetList(), true);
    place(Combo2, 120, 2880, 8655, 300);
    Combo3 = makeList(this, "Combo3", catalogue::extendedReadList(), true);
    place(Combo3, 120, 3360, 8655, 300);
    Label2 = makeHint(this, "Label2", QStringLiteral("[CR] :Carriage Return Code (0x0D)"));
    place(Label2, 240, 1200, 3975, 300);
    Label2->hide();

    QWidget* const tabOrder[] = {Combo1,   Command1, Command2, Command3, Text1,
                                 Command4, Command5, Combo2,   Combo3};
    for (std::size_t i = 1; i < std::size(tabOrder); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);

    setFixedWidth(twipsToPixels(kForm3ClientWidthTwips));

    connect(Combo1, &QComboBox::currentIndexChanged, this, &Form3::Combo1_Click);
    connect(Combo2, &QComboBox::currentIndexChanged, this, &Form3::Combo2_Click);
    connect(Combo3, &QComboBox::currentIndexChanged, this, &Form3::Combo3_Click);
    connect(Command1, &QPushButton::clicked, this, &Form3::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &Form3::Command2_Click);
    connect(Command3, &QPushButton::clicked, this, &Form3::Command3_Click);
    connect(Command4, &QPushButton::clicked, this, &Form3::Command4_Click);
    connect(Command5, &QPushButton::clicked, this, &Form3::Command5_Click);
    connect(Text1, &QLineEdit::textChanged, this, &Form3::Text1_Change);
    // Return in the command line sends it, as "SEND" does.
    connect(Text1, &QLineEdit::returnPressed, this, &Form3::Command1_Click);
}

void Form3::Form_Load() {
    setOuterHeightTwips(kForm3LoadedOuterHeightTwips);
    Combo1->show();
    Combo2->hide();
    Combo3->hide();
    Label1->hide();
    Label2->hide();
    Combo1->setCurrentIndex(0);
    pick(Combo1);
    for (QComboBox* list : {Combo1, Combo2, Combo3})
        list->move(list->x(), twipsToPixels(kForm3ListTopTwips));
}

void Form3::Combo1_Click() {
    Label2->show();
    pick(Combo1);
}

void Form3::Combo2_Click() {
    Label2->show();
    if (catalogue::isParameterEntry(Combo2->itemText(Combo2->currentIndex()))) {
        Label1->show();
        Text1->setFocus();
    } else {
        Label1->hide();
    }
    pick(Combo2);
}

void Form3::Combo3_Click() {
    Label2->show();
    pick(Combo3);
}

void Form3::Command1_Click() {
    m_session.engine().Timer2().setEnabled(false);
    m_session.engine().Timer4().setEnabled(false);
    m_session.engine().Hyouji(m_consoleCmd, 1);
    Label1->hide();
    Label2->hide();
    m_session.engine().Timer2().setEnabled(true);
    m_session.engine().Timer4().setEnabled(true);
}

void Form3::Command2_Click() {
    close();
}

void Form3::Command3_Click() {
    showOnly(Combo1);
}

void Form3::Command4_Click() {
    showOnly(Combo2);
}

void Form3::Command5_Click() {
    showOnly(Combo3);
}

void Form3::Text1_Change() {
    m_consoleCmd = commandLine(catalogue::commandPart(Text1->text()));
}

void Form3::pick(const QComboBox* list) {
    const QString command = catalogue::commandPart(list->itemText(list->currentIndex()));
    m_consoleCmd = commandLine(command);
    Text1->setText(command + catalogue::kCrMarker);
}

void Form3::showOnly(QComboBox* list) {
    for (QComboBox* each : {Combo1, Combo2, Combo3}) {
        if (each != list)
            each->hide();
    }
    list->show();
    list->setCurrentIndex(0);
    // Text typed into an editable list goes with the switch.
    if (list->isEditable())
        list->setEditText(list->itemText(0));
    pick(list);
}

void Form3::keyPressEvent(QKeyEvent* event) {
    // Escape, wherever the focus is and no list is open, does what "CLOSE" does.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        Command2_Click();
        return;
    }
    QWidget::keyPressEvent(event);
}

void Form3::closeEvent(QCloseEvent* event) {
    // The close box does what "CLOSE" does: otherwise the status frame would
    // stay hidden and the reply window long for the rest of the run.
    event->accept();
    unload();
}

void Form3::unload() {
    if (m_unloaded)
        return;
    m_unloaded = true;
    if (m_showMainWindow)
        m_showMainWindow();
    m_session.consoleClosed();
}

void Form3::placeOver(const QWidget* window) {
    m_outerFrame->placeCentredOver(window);
}

int Form3::outerHeightTwips() const {
    return pixelsToTwips(m_outerFrame->outerHeight());
}

void Form3::setOuterHeightTwips(int twipsHigh) {
    m_outerFrame->setOuterHeight(twipsToPixels(twipsHigh));
}

} // namespace kavo
