// The floor for a window with the panel's content: the same 76 buttons with
// their captions, the 23 frames and their title labels, at the same places
// and sizes, read from the button table, but built from plain Qt widgets with
// the style's own fonts and colours, without the panel's classes, its port
// or its logic. Started the same way as the panel and the bare window.
//
// Built a second time as kavo-bench-reference-port, it also does the least
// the panel must do before it shows: read the stored port and speed from the
// same settings store and open that port, through the same port folder entry,
// with Qt's serial port. It shows nothing when the port does not open.

#include "button_map.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QWidget>
#ifdef KAVO_REFERENCE_OPENS_PORT
#include <cstdio>
#include <QFileInfo>
#include <QSerialPort>
#include <QSettings>
#include <QStandardPaths>
#endif
#include <string_view>
#include <unordered_map>

namespace {

// The table's geometry is in twips; 15 make one pixel at 96 dpi.
constexpr int kTwipsPerPixel = 15;

int pixels(int twips) {
    return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel;
}

void place(QWidget* widget, const kavo::panel::Rect& rect) {
    widget->setGeometry(pixels(rect.left), pixels(rect.top), pixels(rect.width),
                        pixels(rect.height));
}

QString latin1(std::string_view text) {
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

#ifdef KAVO_REFERENCE_OPENS_PORT
// The stored speed is kept in hundreds of bits a second ("192").
constexpr int kStoredBaudUnit = 100;

bool openStoredPort(QSerialPort& port) {
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    const QSettings store(config + QStringLiteral("/KAVO.conf"), QSettings::IniFormat);
    const int number = store.value(QStringLiteral("StartUP/ComPort")).toInt();
    const int baud = store.value(QStringLiteral("StartUP/BaudRate")).toInt() * kStoredBaudUnit;
    const QFileInfo entry(config + QStringLiteral("/KAVO/ports/COM%1").arg(number));
    port.setPortName(entry.canonicalFilePath());
    port.setBaudRate(baud);
    return port.open(QIODevice::ReadWrite);
}
#endif

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("reference window"));

    std::unordered_map<int, QWidget*> frames;
    for (const kavo::panel::FrameEntry& entry : kavo::panel::frames()) {
        // A styled panel rather than a QGroupBox: the group box's frame is an
        // image under Fusion, and this is meant to be the cheapest such window.
        auto* frame = new QFrame(&window);
        frame->setFrameShape(QFrame::StyledPanel);
        place(frame, entry.rect);
        frames[entry.number] = frame;
    }
    const auto parentOf = [&](int frame) { return frame == 0 ? &window : frames.at(frame); };
    for (const kavo::panel::TitleEntry& entry : kavo::panel::titles())
        place(new QLabel(latin1(entry.caption), parentOf(entry.frame)), entry.rect);
    for (const kavo::panel::ButtonEntry& entry : kavo::panel::buttons())
        place(new QPushButton(latin1(entry.caption), parentOf(entry.frame)), entry.rect);

    window.resize(692, 385); // the panel's compact size, as the bare window's
#ifdef KAVO_REFERENCE_OPENS_PORT
    QSerialPort port;
    if (!openStoredPort(port)) {
        std::fprintf(stderr, "reference window: cannot open %s: %s\n", qPrintable(port.portName()),
                     qPrintable(port.errorString()));
        return 1;
    }
#endif
    window.show();
    return app.exec();
}
