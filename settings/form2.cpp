#include "form2.h"

#include "line_settings.h"
#include "port_paths.h"
#include "twips.h"
#include "widget_fit.h"

#include <algorithm>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>

namespace kavo {
namespace {

template <typename W> W* place(W* widget, const char* name, int l, int t, int w, int h) {
    widget->setObjectName(QLatin1String(name));
    placeTwips(widget, l, t, w, h);
    return widget;
}

// "OTHER" takes whole numbers 0..255 only; anything else reads as out of range.
int otherBoxValue(const QString& text) {
    if (text.isEmpty() || text.size() > 3)
        return -1;
    for (const QChar c : text) {
        if (!c.isDigit() || c.unicode() > '9')
            return -1;
    }
    const int value = text.toInt();
    return value <= 255 ? value : -1;
}

// The design gives a frame's caption a band of about 180 twips; a desktop
// font's caption is taller, and some designed rectangles reach past the
// border or under a neighbour. The controls keep their designed places where
// they fit; otherwise each keeps its vertical centre at its natural height,
// the frame's whole column moves down by what the caption still covers (the
// bottom border cutting what would then reach past it), and a control with a
// caption takes the width the caption needs, up to the border or its
// neighbour on the right.
void fitIntoFrame(QGroupBox* frame) {
    const QRect inside = frameInside(frame);
    const QList<QWidget*> controls = frame->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    int top = inside.bottom();
    for (QWidget* control : controls) {
        QRect r = control->geometry();
        const int natural = control->sizeHint().height();
        if (r.height() > natural && r.top() < inside.top())
            r = QRect(r.left(), r.center().y() - natural / 2, r.width(), natural);
        control->setGeometry(r);
        top = std::min(top, r.top());
    }
    const int down = std::max(0, inside.top() - top);
    for (QWidget* control : controls) {
        QRect r = control->geometry().translated(0, down);
        int right = inside.right();
        for (const QWidget* other : controls) {
            const QRect o = other->geometry().translated(0, down);
            if (other != control && o.left() > r.left() && o.top() <= r.bottom() &&
                o.bottom() >= r.top())
                right = std::min(right, o.left() - 1);
        }
        const bool captioned =
            qobject_cast<QAbstractButton*>(control) || qobject_cast<QLabel*>(control);
        const int needed = captioned ? control->sizeHint().width() : r.width();
        r.setRight(std::min(right, std::max(r.right(), r.left() + needed - 1)));
        r.setBottom(std::min(r.bottom(), inside.bottom()));
        control->setGeometry(r);
    }
}

} // namespace

Form2::Form2(PanelSession& session, MessageBox& messages, NetworkPorts& network,
             std::function<void()> showMainWindow, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_values(session.values()), m_choice(session.portChoice()), m_messages(messages),
      m_network(network), m_showMainWindow(std::move(showMainWindow)) {
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(kForm2Caption);
    setFixedSize(twipsToPixels(3105), twipsToPixels(4005));
    build();
    Form_Load();
}

void Form2::build() {
    Frame1 = place(new QGroupBox(QStringLiteral("Baud Rate"), this), "Frame1", 360, 240, 2415, 615);
    Option1 =
        place(new QRadioButton(QStringLiteral("9600"), Frame1), "Option1", 120, 180, 1575, 375);
    Option2 =
        place(new QRadioButton(QStringLiteral("19200"), Frame1), "Option2", 1320, 240, 975, 255);
    Frame2 =
        place(new QGroupBox(QStringLiteral("Com Port"), this), "Frame2", 360, 1200, 1455, 2535);
    static constexpr std::array<int, 5> kOptionTops{180, 540, 900, 1260, 1620};
    static constexpr std::array<int, 5> kOptionWidths{1155, 1095, 975, 1215, 1335};
    static constexpr std::array<const char*, 5> kOptionNames{"Option3", "Option4", "Option5",
                                                             "Option6", "Option7"};
    for (int i = 0; i < 5; ++i) {
        auto* option = new QRadioButton(QStringLiteral("COM%1").arg(i + 1), Frame2);
        portOptions[i] = place(option, kOptionNames[i], 180, kOptionTops[i], kOptionWidths[i],
                               i == 0 ? 315 : 255);
        option->setToolTip(describePortDevice(
            i + 1, m_network, option, [option](const QString& text) { option->setToolTip(text); }));
        // A mouse click runs the handler even on the option already selected;
        // selecting from code runs it through toggled.
        const int number = i + 1;
        connect(option, &QRadioButton::toggled, this, [this, number](bool on) {
            if (on)
                m_choice.choosePort(number);
        });
        connect(option, &QRadioButton::clicked, this,
                [this, number] { m_choice.choosePort(number); });
    }
    Text1 = place(new QLineEdit(QStringLiteral("0"), Frame2), "Text1", 180, 2040, 375, 270);
    Label1 = place(new QLabel(QStringLiteral("OTHER"), Frame2), "Label1", 600, 2100, 615, 255);
    Command1 = place(new QPushButton(QStringLiteral("OK"), this), "Command1", 2040, 1320, 735, 615);
    Command2 =
        place(new QPushButton(QStringLiteral("Cancel"), this), "Command2", 2040, 2160, 735, 615);
    Command1->setAutoDefault(false);
    Command2->setAutoDefault(false);
    fitIntoFrame(Frame1);
    fitIntoFrame(Frame2);
    for (QPushButton* button : {Command1, Command2})
        button->setFont(fittingWidth(button->font(), button->text(), button->width() - 6));

    connect(Option1, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            Option1_Click();
    });
    connect(Option1, &QRadioButton::clicked, this, &Form2::Option1_Click);
    connect(Option2, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            Option2_Click();
    });
    connect(Option2, &QRadioButton::clicked, this, &Form2::Option2_Click);
    connect(Text1, &QLineEdit::textChanged, this, &Form2::Text1_Change);
    connect(Command1, &QPushButton::clicked, this, &Form2::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &Form2::Command2_Click);

    setTabOrder(Text1, Option1);
    setTabOrder(Option1, Option2);
    setTabOrder(Option2, portOptions[0]);
    for (int i = 0; i + 1 < 5; ++i)
        setTabOrder(portOptions[i], portOptions[i + 1]);
    setTabOrder(portOptions[4], Command1);
    setTabOrder(Command1, Command2);
    Text1->setFocus();
    refreshOtherTooltip();
}

void Form2::Form_Load() {
    if (m_values.Com_port >= 1 && m_values.Com_port <= 5)
        portOptions[m_values.Com_port - 1]->setChecked(true);
    selectBaudOption(m_choice.load());
    Text1->setSelection(0, 1);
}

void Form2::Option1_Click() {
    m_choice.chooseBaud(kBaud9600);
}

void Form2::Option2_Click() {
    m_choice.chooseBaud(kBaud19200);
}

void Form2::Text1_Change() {
    const int value = otherBoxValue(Text1->text());
    if (isUsablePort(value)) {
        m_choice.choosePort(value);
    } else if (Text1->text() != QLatin1String("0")) {
        // Re-enters this handler once with "0", which changes nothing.
        Text1->setText(QStringLiteral("0"));
        Text1->selectAll();
    }
    refreshOtherTooltip();
}

void Form2::Command1_Click() {
    const PortChoice::Confirmed confirmed = m_choice.confirm();
    if (confirmed.opened)
        Text1->setText(QStringLiteral("0"));
    if (!confirmed.done) {
        retry(confirmed.reason);
        return;
    }
    close();
    if (m_showMainWindow)
        m_showMainWindow();
}

void Form2::Command2_Click() {
    const PortChoice::Restored restored = m_choice.restorePrevious();
    if (restored.hadPrevious) {
        selectBaudOption(restored.nineSixHundred);
        if (!restored.opened) {
            retry(restored.reason);
            return;
        }
        close();
        if (m_showMainWindow)
            m_showMainWindow();
        return;
    }
    if (restored.closedOpenPort)
        close();
    retry(QStringLiteral("No port was in use before; choose one and press OK."));
}

// The choice already holds the speed: selecting its option writes nothing again.
void Form2::selectBaudOption(bool nineSixHundred) {
    const QSignalBlocker first(Option1);
    const QSignalBlocker second(Option2);
    (nineSixHundred ? Option1 : Option2)->setChecked(true);
}

void Form2::retry(const QString& reason) {
    m_messages.warn(kRetryTitle, kRetryText, reason);
}

void Form2::refreshOtherTooltip() {
    const int value = otherBoxValue(Text1->text());
    if (!isUsablePort(value)) {
        Text1->setToolTip(QStringLiteral("Port 6 to 15 (or any of 1 to 15)"));
        return;
    }
    // A host name looked up in the meantime counts only while the box still shows its port.
    Text1->setToolTip(
        describePortDevice(value, m_network, Text1, [this, value](const QString& text) {
            if (otherBoxValue(Text1->text()) == value)
                Text1->setToolTip(text);
        }));
}

} // namespace kavo
