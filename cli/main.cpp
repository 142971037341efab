// kavoctl: the projector from scripts, schedules and other programs.

#include "kavoctl.h"
#include "qt_platform.h"

#include <optional>
#include <QCoreApplication>
#include <QFile>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    // By descriptor: a QFile on the C stream reads lines with fgets, which
    // stops at a NUL byte and would take such a line for the end of input.
    constexpr int kStandardInput = 0;
    QFile input;
    input.open(kStandardInput, QIODevice::ReadOnly);

    kavo::QtSettingsStore store;
    kavo::QtPortFactory ports;
    kavo::QtTimerFactory timers;
    kavo::cli::Kavoctl program({store, ports, timers}, out, err, input);
    std::optional<int> status;
    program.start(QCoreApplication::arguments(), [&status](int code) {
        status = code;
        QCoreApplication::exit(code);
    });
    return status ? *status : QCoreApplication::exec();
}
