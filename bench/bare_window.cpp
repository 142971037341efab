// The floor for start-up time and memory: the smallest Qt Widgets program
// that shows one titled top-level window, built with the same flags as the
// panel and started the same way. With --text the window also holds one line
// of text, so that fonts are loaded before it is shown, as in any window that
// shows words.

#include <QApplication>
#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("bare window"));
    if (app.arguments().contains(QStringLiteral("--text"))) {
        auto* layout = new QVBoxLayout(&window);
        layout->addWidget(new QLabel(QStringLiteral("STATUS"), &window));
    }
    window.resize(692, 385);
    window.show();
    return app.exec();
}
