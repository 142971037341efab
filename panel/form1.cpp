#include "form1.h"

#include "button_map.h"
#include "command_button.h"
#include "hold_button.h"
#include "outer_frame.h"
#include "readout_line.h"
#include "trace.h"
#include "twips.h"
#include "widget_fit.h"

#include <algorithm>
#include <cmath>
#include <QApplication>
#include <QCloseEvent>
#include <QGroupBox>
#include <QIconEngine>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QStyleOptionFrame>
#include <utility>

namespace kavo {
namespace {

const QColor kPanelGrey(0xC0, 0xC0, 0xC0);
constexpr QSize kArrowPicture(17, 9);
constexpr double kCaptionPoints = 7.5;
constexpr double kEndCaptionPoints = 15.75;

QColor tintColour(panel::Tint tint) {
    switch (tint) {
    case panel::Tint::Teal:
        return {0x00, 0xC0, 0xC0};
    case panel::Tint::Green:
        return {0x80, 0xFF, 0x80};
    case panel::Tint::Red:
        return {0xFF, 0x80, 0x80};
    case panel::Tint::Yellow:
        return {0xFF, 0xFF, 0x80};
    case panel::Tint::Cyan:
        return {0xC0, 0xFF, 0xFF};
    case panel::Tint::Orange:
        return {0xFF, 0xC0, 0x80};
    case panel::Tint::Pink:
        return {0xFF, 0xC0, 0xC0};
    case panel::Tint::System:
        break;
    }
    return {};
}

// A group frame drawn as the style's plain rectangle. Under the Fusion style
// a QGroupBox draws its frame from an image whose first load probes every
// image plugin installed, the largest single cost of showing the panel.
class PanelFrame final : public QGroupBox {
  public:
    using QGroupBox::QGroupBox;

  protected:
    void paintEvent(QPaintEvent*) override {
        constexpr int kFrameTop = 3; // where QGroupBox draws it for an empty title
        QPainter painter(this);
        QStyleOptionFrame option;
        option.initFrom(this);
        option.rect = rect().adjusted(0, kFrameTop, 0, 0);
        style()->drawPrimitive(QStyle::PE_Frame, &option, &painter, this);
    }
};

// The arrow picture: a solid black triangle on a transparent ground, so the
// button's own colour shows around it in every state. Drawn as a path into
// the icon's pixmap at whatever device pixel ratio the screen asks for, so
// it stays crisp at every display scale.
class ArrowIconEngine final : public QIconEngine {
  public:
    explicit ArrowIconEngine(panel::Arrow arrow) : m_arrow(arrow) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override {
        const qreal w = kArrowPicture.width(), h = kArrowPicture.height();
        QPolygonF shape;
        switch (m_arrow) {
        case panel::Arrow::Up:
            shape << QPointF(0, h) << QPointF(w, h) << QPointF(w / 2, 0);
            break;
        case panel::Arrow::Down:
            shape << QPointF(0, 0) << QPointF(w, 0) << QPointF(w / 2, h);
            break;
        case panel::Arrow::Left:
            shape << QPointF(w / 2 - h / 2, h / 2) << QPointF(w / 2 + h / 2, 0)
                  << QPointF(w / 2 + h / 2, h);
            break;
        case panel::Arrow::Right:
            shape << QPointF(w / 2 + h / 2, h / 2) << QPointF(w / 2 - h / 2, 0)
                  << QPointF(w / 2 - h / 2, h);
            break;
        case panel::Arrow::None:
            break;
        }
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setPen(Qt::NoPen);
        painter->setBrush(Qt::black);
        painter->translate(rect.topLeft());
        painter->scale(rect.width() / w, rect.height() / h);
        painter->drawPolygon(shape);
        painter->restore();
    }
    // `size` is in device pixels: QIcon asks for the size times the scale.
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        QPixmap pixmap(size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        paint(&painter, QRect(QPoint(0, 0), size), mode, state);
        return pixmap;
    }
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state, qreal) override {
        return pixmap(size, mode, state);
    }
    QIconEngine* clone() const override { return new ArrowIconEngine(m_arrow); }

  private:
    panel::Arrow m_arrow;
};

QIcon arrowIcon(panel::Arrow arrow) {
    return QIcon(new ArrowIconEngine(arrow));
}

QString latin1(std::string_view text) {
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

QLabel* makeLabel(QWidget* parent, const QString& name, const QString& text) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText);
    return label;
}

// The font at the largest quarter-point size up to its own whose line height
// fits `pixels`.
QFont fittingHeight(QFont font, int pixels) {
    constexpr double kStep = 0.25, kSmallest = 5.0;
    while (QFontMetrics(font).height() > pixels && font.pointSizeF() - kStep >= kSmallest)
        font.setPointSizeF(font.pointSizeF() - kStep);
    return font;
}

// A white bordered line for a trace or status text, at its designed place,
// in a bold face at its designed size; fitLine fits it.
ReadoutLine* makeLine(QWidget* parent, const QString& name, ReadoutLine::Role role,
                      double pointSize, const QColor& colour, const QRect& twips) {
    auto* line = new ReadoutLine(role, parent);
    placeTwips(line, twips.x(), twips.y(), twips.width(), twips.height());
    line->setObjectName(name);
    line->setTextFormat(Qt::PlainText);
    line->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    line->setAutoFillBackground(true);
    QPalette palette = line->palette();
    palette.setColor(QPalette::Window, Qt::white);
    palette.setColor(QPalette::WindowText, colour);
    line->setPalette(palette);
    QFont font = line->font();
    font.setBold(true);
    font.setPointSizeF(pointSize);
    line->setFont(font);
    line->setWordWrap(false);
    return line;
}

// Where a desktop face is taller than the line, its largest quarter-point
// size whose height fits it.
void fitLine(ReadoutLine* line) {
    line->setFont(fittingHeight(line->font(), line->contentsRect().height()));
}

// A line shows a few dozen tokens; a flood's trace is cut long before it
// could cost the window time to lay out.
constexpr qsizetype kShownTraceLimit = 4096;
QString shownPart(const QString& trace) {
    return trace.size() <= kShownTraceLimit ? trace : trace.first(kShownTraceLimit);
}

void paintText(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    widget->setPalette(palette);
}

QLabel* makeLegend(QWidget* parent, const QString& name, const QString& text) {
    auto* label = makeLabel(parent, name, text);
    paintText(label, Qt::red);
    label->hide();
    return label;
}

// The key as the key-down handler knows it: the letter of a Latin layout, or,
// where the layout's letter is not a Latin one (Cyrillic, Greek ...), the
// Latin letter of the same key, as shortcuts work on such layouts.
int keyCode(const QKeyEvent& key) {
    const int code = key.key();
    if (code < 0x80)
        return code;
#ifdef Q_OS_WIN
    constexpr quint32 kScanCodeH = 0x23; // set 1 scan code
#else
    constexpr quint32 kScanCodeH = 43; // evdev code of KEY_H, as X11 and Wayland report it
#endif
    return key.nativeScanCode() == kScanCodeH ? int(Qt::Key_H) : code;
}

} // namespace

Form1::Form1(PanelSession& session, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      m_session(session), m_outerFrame(new OuterFrame(this)) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(kForm1Caption);
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, kPanelGrey);
    palette.setColor(QPalette::Button, kPanelGrey);
    setPalette(palette);
    buildFrames();
    buildDisplayAreas();
    buildButtons();
    setFixedSize(twipsToPixels(kClientWidthTwips), twipsToPixels(kCompactHeightTwips));
    m_session.engine().setDisplayChangedHandler([this] { mirrorDisplay(); });
    m_session.logic().setStatusFrameVisible = [this](bool visible) {
        Frame15->setVisible(visible);
    };
    endProgram = [] { QCoreApplication::exit(0); };
    // Sees every key before the focused button does, without taking it away.
    qApp->installEventFilter(this);
}

Form1::~Form1() {
    qApp->removeEventFilter(this);
}

void Form1::buildFrames() {
    for (const panel::FrameEntry& entry : panel::frames()) {
        auto* frame = new PanelFrame(this);
        frame->setObjectName(QStringLiteral("Frame%1").arg(entry.number));
        placeTwips(frame, entry.rect.left, entry.rect.top, entry.rect.width, entry.rect.height);
        frame->setAccessibleName(QString::fromStdString(panel::frameTitle(entry.number)));
        m_frames[entry.number] = frame;
    }
    Frame9 = m_frames.at(9);
    Frame15 = m_frames.at(15);
    for (const panel::TitleEntry& entry : panel::titles()) {
        QLabel* title =
            makeLabel(m_frames.at(entry.frame), QStringLiteral("Label%1").arg(entry.number),
                      latin1(entry.caption));
        placeTwips(title, entry.rect.left, entry.rect.top, entry.rect.width, entry.rect.height);
        QFont font = title->font();
        font.setBold(true);
        font.setPointSizeF(kCaptionPoints);
        title->setFont(font);
        if (entry.darkRed) {
            title->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
            paintText(title, QColor(0x80, 0x00, 0x00));
        }
    }
}

void Form1::buildButtons() {
    QWidget* previous = nullptr;
    std::map<panel::Arrow, QIcon> arrows; // drawn once per direction
    for (const panel::ButtonEntry& entry : panel::buttons()) {
        QWidget* parent = entry.frame == 0 ? static_cast<QWidget*>(this) : m_frames.at(entry.frame);
        QPushButton* button = entry.kind == panel::Kind::Hold
                                  ? static_cast<QPushButton*>(new HoldButton(parent))
                                  : new CommandButton(latin1(entry.caption), parent);
        button->setObjectName(QStringLiteral("Command%1").arg(entry.number));
        placeTwips(button, entry.rect.left, entry.rect.top, entry.rect.width, entry.rect.height);
        button->setAutoDefault(false);
        const double points = entry.kind == panel::Kind::End ? kEndCaptionPoints : kCaptionPoints;
        fitWhenShown([button, points] { fitCaption(button, points); });
        const QColor colour = tintColour(entry.tint);
        if (colour.isValid()) {
            QPalette palette = button->palette();
            palette.setColor(QPalette::Button, colour);
            button->setPalette(palette);
        } else {
            button->setPalette(QApplication::palette(button));
        }
        if (!entry.command.empty()) {
            button->setToolTip(latin1(entry.command));
            button->setAccessibleDescription(latin1(entry.command));
        }
        button->setAccessibleName(QString::fromStdString(panel::accessibleName(entry)));

        const int number = entry.number;
        switch (entry.kind) {
        case panel::Kind::Click:
            connect(button, &QPushButton::clicked, this,
                    [this, number] { m_session.logic().Command_Click(number); });
            break;
        case panel::Kind::Hold: {
            auto* hold = static_cast<HoldButton*>(button);
            auto icon = arrows.find(entry.arrow);
            if (icon == arrows.end())
                icon = arrows.emplace(entry.arrow, arrowIcon(entry.arrow)).first;
            hold->setIcon(icon->second);
            hold->setIconSize(kArrowPicture);
            hold->setToolTip(latin1(entry.accessibleName) + QStringLiteral(" (") +
                             latin1(entry.command) + QStringLiteral(")"));
            connect(hold, &HoldButton::mouseDown, this,
                    [this, number] { m_session.logic().Command_MouseDown(number); });
            connect(hold, &HoldButton::mouseUp, this,
                    [this, number] { m_session.logic().Command_MouseUp(number); });
            break;
        }
        case panel::Kind::End:
            connect(button, &QPushButton::clicked, this, &Form1::Command16_Click);
            break;
        case panel::Kind::Com:
            connect(button, &QPushButton::clicked, this, &Form1::Command33_Click);
            break;
        case panel::Kind::CommandTable:
            connect(button, &QPushButton::clicked, this, &Form1::Command74_Click);
            break;
        }
        if (previous)
            setTabOrder(previous, button);
        previous = button;
        m_buttons[entry.number] = button;
    }
    m_buttons.at(17)->setFocus();
}

void Form1::buildDisplayAreas() {
    Label9 = makeLabel(Frame9, QStringLiteral("Label9"), QStringLiteral("TxD"));
    placeTwips(Label9, 120, 240, 420, 255);
    Label9->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Frame9->setAccessibleName(QStringLiteral("TxD RxD"));
    Label11 = makeLine(Frame9, QStringLiteral("Label11"), ReadoutLine::Role::Trace, 12, Qt::black,
                       {600, 195, 7575, 300});
    Label11->setAccessibleDescription(QStringLiteral("TxD"));
    Label10 = makeLabel(Frame9, QStringLiteral("Label10"), QStringLiteral("RxD"));
    placeTwips(Label10, 120, 612, 420, 255);
    Label10->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Label12 = makeLine(Frame9, QStringLiteral("Label12"), ReadoutLine::Role::Trace, 12, Qt::black,
                       {585, 555, 7575, 300});
    Label12->setAccessibleDescription(QStringLiteral("RxD"));

    // The legends' first row is 195 twips above the second: in a desktop
    // face taller than that they take the size whose lines fit the rows.
    constexpr int kLegendRow = 6600 - 6405;
    Label28 = makeLegend(this, QStringLiteral("Label28"), kLegendCr);
    placeTwips(Label28, 120, 6405, 3900, kLegendRow);
    Label27 = makeLegend(this, QStringLiteral("Label27"), kLegendSpace);
    placeTwips(Label27, 4200, 6405, 2100, kLegendRow);
    Label29 = makeLegend(this, QStringLiteral("Label29"), kLegendAck);
    placeTwips(Label29, 120, 6600, 3900, kLegendRow);
    fitWhenShown([this] {
        const QFont legendFont = fittingHeight(Label28->font(), Label28->height());
        for (QLabel* legend : {Label27, Label28, Label29})
            legend->setFont(legendFont);
    });

    Label26 = makeLabel(Frame15, QStringLiteral("Label26"), QStringLiteral("STATUS"));
    placeTwips(Label26, 120, 165, 855, 255);
    QFont bold = Label26->font();
    bold.setBold(true);
    Label26->setFont(bold);
    Frame15->setAccessibleName(QStringLiteral("STATUS"));
    Label25 = makeLine(Frame15, QStringLiteral("Label25"), ReadoutLine::Role::Status, 10.5, Qt::red,
                       {1020, 135, 4950, 285});
    Label25->setAccessibleDescription(QStringLiteral("STATUS"));
    fitWhenShown([this] {
        for (ReadoutLine* line : {Label11, Label12, Label25})
            fitLine(line);
        for (QLabel* name : {Label26, Label9, Label10})
            name->setFont(fittingWidth(name->font(), name->text(), name->width()));
    });
}

void Form1::setVisible(bool visible) {
    QWidget::setVisible(visible);
    // Fitting measures text, and the first measurement in the process loads
    // the font database. Done here, once the window has asked to be mapped
    // and before the event loop paints it, the first frame already shows
    // the fitted captions; the map no longer waits for the fonts, as it does
    // not in a plain Qt window, which loads them for its first paint.
    if (visible) {
        for (const auto& fit : std::exchange(m_fitWhenShown, {}))
            fit();
    }
}

void Form1::Form_Load() {
    setOuterHeightTwips(kCompactHeightTwips);
    if (m_session.startUp() == TransactionEngine::StartUp::NeedsPortDialog) {
        if (showPortDialogModal)
            showPortDialogModal();
        return;
    }
    placeAboveCentre();
}

void Form1::Command16_Click() {
    endHoldIfAny();
    Form_QueryUnload();
    hide();
    if (endProgram)
        endProgram();
}

void Form1::Command33_Click() {
    m_session.engine().forgetLostLine();
    mirrorDisplay();
    if (showPortDialogFromPanel)
        showPortDialogFromPanel();
}

void Form1::Command74_Click() {
    m_session.logic().Command74_Click();
}

void Form1::Form_KeyDown(int keyCode, int shift) {
    const int height = PanelLogic::Form_KeyDown(keyCode, shift, outerHeightTwips());
    if (height != 0)
        setOuterHeightTwips(height);
}

int Form1::outerHeightTwips() const {
    return pixelsToTwips(m_outerFrame->outerHeight());
}

void Form1::setOuterHeightTwips(int twips) {
    m_outerFrame->setOuterHeight(twipsToPixels(twips));
}

void Form1::placeAboveCentre() {
    m_outerFrame->placeAboveCentre(twipsToPixels(kAbovePlacementTwips));
}

void Form1::mirrorDisplay() {
    const LinkDisplay& shown = m_session.engine().display();
    Label11->showText(shownPart(shown.txd));
    Label12->showText(shownPart(shown.rxd));
    Label25->showText(shown.status);
    Label27->setVisible(shown.legendSpace);
    Label28->setVisible(shown.legendCr);
    Label29->setVisible(shown.legendAck);
    // A lost line is said in the title bar, visible in either height, without a box.
    const QString title = shown.notice.isEmpty()
                              ? kForm1Caption
                              : kForm1Caption + QStringLiteral(" - ") + shown.notice;
    if (windowTitle() != title)
        setWindowTitle(title);
    setToolTip(shown.notice);
}

void Form1::endHoldIfAny() {
    if (m_session.logic().Cont_flag != 0)
        m_session.logic().Cont_M_up();
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress || !watched->isWidgetType())
        return false;
    auto* widget = static_cast<QWidget*>(watched);
    if (widget->window() != this)
        return false;
    // A key travels from the focused widget up to its parents; act on its first stop only.
    QWidget* first = focusWidget() ? focusWidget() : this;
    if (widget != first)
        return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    const Qt::KeyboardModifiers mods = key->modifiers();
    const int shift = (mods & Qt::ShiftModifier ? 1 : 0) | (mods & Qt::ControlModifier ? 2 : 0) |
                      (mods & Qt::AltModifier ? 4 : 0);
    Form_KeyDown(keyCode(*key), shift);
    return false;
}

void Form1::closeEvent(QCloseEvent* event) {
    endHoldIfAny();
    Form_QueryUnload();
    event->accept();
    // The panel is the program: closing it ends the run, whatever else is open.
    if (endProgram)
        endProgram();
}

void Form1::changeEvent(QEvent* event) {
    // Another window taking the focus during a hold takes the pointer away too.
    if (event->type() == QEvent::ActivationChange && !isActiveWindow())
        endHoldIfAny();
    QWidget::changeEvent(event);
}

void Form1::hideEvent(QHideEvent* event) {
    endHoldIfAny();
    QWidget::hideEvent(event);
}

} // namespace kavo
