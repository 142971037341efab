// kavoctl: the projector from scripts, schedules and other programs.

#include "kavoctl.h"
#include "mqtt_link.h"
#include "qt_platform.h"
#include "tcp_serial_port.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <QCoreApplication>
#include <QFile>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

constexpr int kStandardInput = 0;

// Whether descriptor 0 was closed when the program started. It is then taken
// by /dev/null, before Qt opens descriptors of its own that would land there
// and be read as commands.
bool standardInputClosed() {
#ifdef _WIN32
    return false;
#else
    if (::fcntl(kStandardInput, F_GETFD) != -1 || errno != EBADF)
        return false;
    const int placeholder = ::open("/dev/null", O_RDONLY);
    if (placeholder > kStandardInput)
        ::close(placeholder);
    return true;
#endif
}

} // namespace

int main(int argc, char* argv[]) {
    const bool inputClosed = standardInputClosed();
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    // By descriptor: a QFile on the C stream reads lines with fgets, which
    // stops at a NUL byte and would take such a line for the end of input.
    QFile input;
    if (!inputClosed)
        input.open(kStandardInput, QIODevice::ReadOnly);

    kavo::QtSettingsStore store;
    kavo::QtPortFactory ports(kavo::linkedNetworkPorts());
    kavo::QtTimerFactory timers;
    kavo::cli::CliPlatform platform{store, ports, timers};
#ifdef KAVO_HAVE_MQTT
    platform.mqtt = [&timers](kavo::MqttSettings settings) {
        return kavo::createMosquittoLink(std::move(settings), timers);
    };
#endif
    kavo::cli::Kavoctl program(platform, out, err, input);
    std::optional<int> status;
    program.start(QCoreApplication::arguments(), [&status](int code) {
        status = code;
        QCoreApplication::exit(code);
    });
    const int exitStatus = status ? *status : QCoreApplication::exec();
    if (kavo::hostLookupAbandoned()) {
        // Qt would wait for the given-up lookup at exit, past every time bound.
        out.flush();
        err.flush();
        std::fflush(nullptr);
        std::_Exit(exitStatus);
    }
    return exitStatus;
}
