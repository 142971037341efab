#include "form1.h"

#include "trace.h"
#include "twips.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QScreen>

namespace kavo {
namespace {

const QColor kPanelGrey(0xC0, 0xC0, 0xC0);

QLabel* makeLabel(QWidget* parent, const char* name, const QString& text) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    return label;
}

// A white bordered line for a trace or status text.
QLabel* makeLine(QWidget* parent, const char* name, double pointSize, const QColor& colour) {
    auto* line = makeLabel(parent, name, {});
    line->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    line->setAutoFillBackground(true);
    QPalette palette = line->palette();
    palette.setColor(QPalette::Window, Qt::white);
    palette.setColor(QPalette::WindowText, colour);
    line->setPalette(palette);
    QFont font = line->font();
    font.setPointSizeF(pointSize);
    font.setBold(true);
    line->setFont(font);
    line->setTextFormat(Qt::PlainText);
    line->setWordWrap(false);
    return line;
}

QLabel* makeLegend(QWidget* parent, const char* name, const QString& text) {
    auto* label = makeLabel(parent, name, text);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Qt::red);
    label->setPalette(palette);
    label->hide();
    return label;
}

QGroupBox* makeFrame(QWidget* parent, const char* name) {
    auto* frame = new QGroupBox(parent);
    frame->setObjectName(QLatin1String(name));
    return frame;
}

} // namespace

Form1::Form1(AppValues& values, SerialPort& port, TimerFactory& timers, SettingsStore& store,
             QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      m_engine(values, port, timers, store) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(kForm1Caption);
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, kPanelGrey);
    setPalette(palette);
    buildDisplayAreas();
    setFixedSize(twipsToPixels(kClientWidthTwips), twipsToPixels(kCompactHeightTwips));
    m_engine.setDisplayChangedHandler([this] { mirrorDisplay(); });
}

Form1::~Form1() = default;

void Form1::buildDisplayAreas() {
    Frame9 = makeFrame(this, "Frame9");
    placeTwips(Frame9, 120, 5400, 8295, 948);
    Label9 = makeLabel(Frame9, "Label9", QStringLiteral("TxD"));
    placeTwips(Label9, 120, 240, 420, 255);
    Label9->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Label11 = makeLine(Frame9, "Label11", 12, Qt::black);
    placeTwips(Label11, 600, 195, 7575, 300);
    Label10 = makeLabel(Frame9, "Label10", QStringLiteral("RxD"));
    placeTwips(Label10, 120, 612, 420, 255);
    Label10->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Label12 = makeLine(Frame9, "Label12", 12, Qt::black);
    placeTwips(Label12, 585, 555, 7575, 300);

    Label28 = makeLegend(this, "Label28", kLegendCr);
    placeTwips(Label28, 120, 6405, 3900, 195);
    Label27 = makeLegend(this, "Label27", kLegendSpace);
    placeTwips(Label27, 4200, 6405, 2100, 195);
    Label29 = makeLegend(this, "Label29", kLegendAck);
    placeTwips(Label29, 120, 6600, 3900, 195);

    Frame15 = makeFrame(this, "Frame15");
    placeTwips(Frame15, 120, 6960, 6105, 492);
    Label26 = makeLabel(Frame15, "Label26", QStringLiteral("STATUS"));
    placeTwips(Label26, 120, 165, 855, 255);
    QFont bold = Label26->font();
    bold.setBold(true);
    Label26->setFont(bold);
    Label25 = makeLine(Frame15, "Label25", 10.5, Qt::red);
    placeTwips(Label25, 1020, 135, 4950, 285);
}

void Form1::Form_Load() {
    setOuterHeightTwips(kCompactHeightTwips);
    if (m_engine.startUp() == TransactionEngine::StartUp::NeedsPortDialog) {
        if (showPortDialogModal)
            showPortDialogModal();
        return;
    }
    placeAboveCentre();
}

int Form1::outerHeightTwips() const {
    const int outer = isVisible() ? frameGeometry().height() : height();
    return pixelsToTwips(outer);
}

void Form1::setOuterHeightTwips(int twips) {
    const int frameExtra = isVisible() ? frameGeometry().height() - height() : 0;
    setFixedHeight(std::max(1, twipsToPixels(twips) - frameExtra));
}

void Form1::placeAboveCentre() {
    const QScreen* screen = this->screen();
    if (!screen)
        return;
    const QRect area = screen->geometry();
    const QSize outer = frameGeometry().size();
    const int left = (area.width() - outer.width()) / 2;
    const int top = (area.height() - outer.height()) / 2 - twipsToPixels(kAbovePlacementTwips);
    move(area.left() + left, area.top() + top);
}

void Form1::mirrorDisplay() {
    const LinkDisplay& shown = m_engine.display();
    Label11->setText(shown.txd);
    Label12->setText(shown.rxd);
    Label25->setText(shown.status);
    Label27->setVisible(shown.legendSpace);
    Label28->setVisible(shown.legendCr);
    Label29->setVisible(shown.legendAck);
}

void Form1::closeEvent(QCloseEvent* event) {
    Form_QueryUnload();
    event->accept();
}

} // namespace kavo
