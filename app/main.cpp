// kavo-control: a control panel for one data projector on a serial line.

#include "application.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    return kavo::runApplication(app);
}
