// kavo-projector-sim: a projector on a pseudo-terminal, linked into the
// per-user port folder so that the panel can open it as COM<n>; or, with
// --listen, on a TCP port as behind a network serial server.

#include "catalogue.h"
#include "port_entry.h"
#include "port_paths.h"
#include "projector_model.h"
#include "pty_line.h"
#include "sim_options.h"
#include "simulator.h"
#include "tcp_line.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int number) {
    const int saved = errno;
    const char byte = char(number);
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

bool catchStopSignals() {
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
        if (::sigaction(number, &action, nullptr) != 0)
            return false;
    }
    return true;
}

const char* signalName(int number) {
    switch (number) {
    case SIGINT:
        return "SIGINT";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "SIGTERM";
    }
}

void complain(const QString& text) {
    std::fprintf(stderr, "kavo-projector-sim: %s\n", text.toLocal8Bit().constData());
}

} // namespace

int main(int argc, char* argv[]) {
    using namespace kavo::sim;
    QCoreApplication app(argc, argv);

    const ParsedOptions parsed = parseOptions(QCoreApplication::arguments());
    if (!parsed.options) {
        if (parsed.exitCode == 0)
            std::fputs(parsed.message.toLocal8Bit().constData(), stdout);
        else
            complain(parsed.message);
        return parsed.exitCode;
    }
    const Options& options = *parsed.options;

    if (!catchStopSignals()) {
        complain(QStringLiteral("cannot catch Ctrl+C and SIGTERM"));
        return 1;
    }
    QSocketNotifier stopper(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopper, &QSocketNotifier::activated, &app, [] {
        char number = 0;
        if (::read(g_signalPipe[0], &number, 1) == 1)
            printLine(QStringLiteral("stopping on %1").arg(QLatin1String(signalName(number))));
        QCoreApplication::quit();
    });

    const CommandSet commands(kavo::catalogue::allCommands());
    const QString stock =
        QStringLiteral("%1 commands, seed %2").arg(commands.size()).arg(options.seed);
    QString error;
    std::unique_ptr<SimLine> line;
    std::unique_ptr<PortEntry> entry;
    QString stopping;
    if (options.listen) {
        auto server = std::make_unique<TcpLine>();
        if (!server->listen(options.listen->address, options.listen->port, &error)) {
            complain(QStringLiteral("cannot listen on %1: %2")
                         .arg(options.listen->address.toString(), error));
            return 1;
        }
        server->setFailureHandler([](const QString& why) {
            complain(QStringLiteral("stopped listening: %1").arg(why));
            QCoreApplication::exit(1);
        });
        printLine(QStringLiteral("kavo-projector-sim: listening on %1, one client at a time (%2)")
                      .arg(server->name(), stock));
        printLine(QStringLiteral("Make it a port of the panel: echo %1 > %2/COM<n>")
                      .arg(server->name(), kavo::portFolder()));
        stopping = QStringLiteral("Ctrl+C stops the simulator.");
        line = std::move(server);
    } else {
        auto terminal = std::make_unique<PtyLine>();
        if (!terminal->open(&error)) {
            complain(QStringLiteral("cannot open a pseudo-terminal: %1").arg(error));
            return 1;
        }
        for (const QString& removed : PortEntry::removeStaleLinks(kavo::portFolder()))
            printLine(QStringLiteral("removed %1, left by a simulator that is no longer running")
                          .arg(removed));
        const QString name = QStringLiteral("COM%1").arg(options.port);
        entry = std::make_unique<PortEntry>(kavo::portFolder() + QLatin1Char('/') + name,
                                            terminal->devicePath());
        if (!entry->claim(&error)) {
            complain(error);
            return 1;
        }
        printLine(QStringLiteral("kavo-projector-sim: %1 -> %2 in %3 (%4)")
                      .arg(name, terminal->devicePath(), kavo::portFolder(), stock));
        stopping = QStringLiteral("Ctrl+C stops the simulator and removes %1.").arg(name);
        line = std::move(terminal);
    }

    Simulator simulator(options, commands, *line);
    simulator.start();
    // Changes by hand, a line each, on standard input; a line longer than
    // kLongestControl is dropped. It ends with its end of file.
    constexpr qsizetype kLongestControl = 256;
    QByteArray typed;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char bytes[512];
        const ssize_t got = ::read(STDIN_FILENO, bytes, sizeof bytes);
        if (got <= 0) {
            if (got == 0 || (errno != EINTR && errno != EAGAIN))
                input.setEnabled(false);
            return;
        }
        typed.append(bytes, got);
        for (qsizetype end = typed.indexOf('\n'); end >= 0; end = typed.indexOf('\n')) {
            simulator.control(typed.left(end));
            typed.remove(0, end + 1);
        }
        if (typed.size() > kLongestControl)
            typed.clear();
    });
    const QString faults = describeFaults(options);
    if (!faults.isEmpty())
        printLine(QStringLiteral("faults: %1").arg(faults));
    printLine(stopping);

    const int status = QCoreApplication::exec();
    if (entry)
        entry->release();
    return status;
}
