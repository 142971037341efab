#include "form2.h"

#include "line_settings.h"
#include "port_paths.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

namespace kavo {
namespace {

constexpr int twips(int value) {
    return (value + 7) / 15;
}

template <typename W> W* place(W* widget, const char* name, int l, int t, int w, int h) {
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(twips(l), twips(t), twips(w), twips(h));
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

} // namespace

Form2::Form2(AppValues& values, SerialPort& port, SettingsStore& store, MessageBox& messages,
             std::function<void()> showMainWindow, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_values(values), m_port(port), m_store(store), m_messages(messages),
      m_showMainWindow(std::move(showMainWindow)) {
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(kForm2Caption);
    setFixedSize(twips(3105), twips(4005));
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
        option->setToolTip(describePortDevice(i + 1));
        // A mouse click runs the handler even on the option already selected;
        // selecting from code runs it through toggled.
        const int number = i + 1;
        connect(option, &QRadioButton::toggled, this, [this, number](bool on) {
            if (on)
                choosePort(number);
        });
        connect(option, &QRadioButton::clicked, this, [this, number] { choosePort(number); });
    }
    Text1 = place(new QLineEdit(QStringLiteral("0"), Frame2), "Text1", 180, 2040, 375, 270);
    Label1 = place(new QLabel(QStringLiteral("OTHER"), Frame2), "Label1", 600, 2100, 615, 255);
    Command1 = place(new QPushButton(QStringLiteral("OK"), this), "Command1", 2040, 1320, 735, 615);
    Command2 =
        place(new QPushButton(QStringLiteral("Cancel"), this), "Command2", 2040, 2160, 735, 615);
    Command1->setAutoDefault(false);
    Command2->setAutoDefault(false);

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
    const bool nineSixHundred = m_values.Baud_code == kBaud9600;
    m_port.setSettings(settingsText(m_values.Baud_code));
    selectBaudOption(nineSixHundred);
    if (!nineSixHundred)
        m_values.Baud_code = kBaud19200;
    Text1->setSelection(0, 1);
}

void Form2::Option1_Click() {
    m_values.Baud_code = kBaud9600;
}

void Form2::Option2_Click() {
    m_values.Baud_code = kBaud19200;
}

void Form2::choosePort(int number) {
    m_values.Com_port = static_cast<std::int16_t>(number);
}

void Form2::Text1_Change() {
    const int value = otherBoxValue(Text1->text());
    if (isUsablePort(value)) {
        m_values.Com_port = static_cast<std::int16_t>(value);
    } else if (Text1->text() != QLatin1String("0")) {
        // Re-enters this handler once with "0", which changes nothing.
        Text1->setText(QStringLiteral("0"));
        Text1->selectAll();
    }
    refreshOtherTooltip();
}

void Form2::Command1_Click() {
    m_port.setSettings(settingsText(m_values.Baud_code));
    if (m_values.Com_port == 0) {
        retry(QStringLiteral("Choose a port first."));
        return;
    }
    if (!isUsablePort(m_values.Com_port)) {
        retry(QStringLiteral("Port %1 is outside 1 to 15.").arg(m_values.Com_port));
        return;
    }
    m_port.setPortNumber(m_values.Com_port);
    if (!openPort())
        return;
    Text1->setText(QStringLiteral("0"));
    for (const auto& [key, text] :
         {std::pair{kStoreComPort, QString::number(m_values.Com_port)},
          std::pair{kStoreBaudRate, QString::number(m_values.Baud_code)}}) {
        const QString failure = m_store.write(kStoreApplication, kStoreSection, key, text);
        if (!failure.isEmpty()) {
            retry(failure);
            return;
        }
    }
    close();
    if (m_showMainWindow)
        m_showMainWindow();
}

void Form2::Command2_Click() {
    m_values.Com_port = m_values.Prev_com_port;
    if (isUsablePort(m_values.Com_port)) {
        m_values.Baud_code = m_values.Prev_baud_code;
        const bool nineSixHundred = m_values.Baud_code == kBaud9600;
        m_port.setSettings(settingsText(m_values.Baud_code));
        selectBaudOption(nineSixHundred);
        if (!nineSixHundred)
            m_values.Baud_code = kBaud19200;
        m_port.setPortNumber(m_values.Com_port);
        if (!openPort())
            return;
        close();
        if (m_showMainWindow)
            m_showMainWindow();
        return;
    }
    if (m_port.isOpen()) {
        m_port.close();
        close();
    }
    retry(QStringLiteral("No port was in use before; choose one and press OK."));
}

void Form2::selectBaudOption(bool nineSixHundred) {
    (nineSixHundred ? Option1 : Option2)->setChecked(true);
}

bool Form2::openPort() {
    // A port left open by an earlier failure is closed first, so it takes the new values.
    if (m_port.isOpen())
        m_port.close();
    const OpenResult result = m_port.open();
    if (!result)
        retry(result.reason);
    return result.ok;
}

void Form2::retry(const QString& reason) {
    m_messages.warn(kRetryTitle, kRetryText, reason);
}

void Form2::refreshOtherTooltip() {
    const int value = otherBoxValue(Text1->text());
    Text1->setToolTip(isUsablePort(value) ? describePortDevice(value)
                                          : QStringLiteral("Port 6 to 15 (or any of 1 to 15)"));
}

} // namespace kavo
