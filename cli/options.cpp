#include "options.h"

#include "cli_constants.h"
#include "line_settings.h"
#include "port_paths.h"

#include <array>
#include <QCommandLineParser>

namespace kavo::cli {
namespace {

const QString kHelp =
    QStringLiteral("Usage: kavoctl [OPTION...] COMMAND [ARG...]\n"
                   "Drives the projector on the serial line the panel uses, without a display.\n"
                   "\n"
                   "Commands:\n"
                   "  send CMD...    send each command with its CR, one at a time, and show the\n"
                   "                 sent and received traces; \"-\" reads commands from stdin,\n"
                   "                 one a line (blank lines and # comments skipped)\n"
                   "  status         the seven status reads, decoded\n"
                   "  list [WORD...] panel buttons and catalogue entries holding every word\n"
                   "  ports          COM1..COM15, their devices and whether they open\n"
                   "\n"
                   "Options for send and status:\n"
                   "  --port N       COM port 1..15 (default: the panel's stored port)\n"
                   "  --baud RATE    9600 or 19200 (default: the panel's stored rate)\n"
                   "  --device PATH  a device, socket://HOST:PORT or unix:PATH, not a COM port\n"
                   "  --timeout MS   reply window, 1..60000 ms (default 1000)\n"
                   "  --json         one JSON document on stdout\n"
                   "  -q, --quiet    nothing on stdout; failures still go to stderr\n"
                   "  -h, --help     this help      --version   the version\n"
                   "\n"
                   "Exit status: 0 every command answered, 1 usage error, 2 the port did not\n"
                   "open, 3 a command got no reply, 4 a reply was \"?\", unfinished or not a\n"
                   "status (3 outranks 4). The stored settings are only read. See kavoctl(1).\n");

struct SubcommandName {
    const char* name;
    Subcommand subcommand;
};
constexpr std::array kSubcommands{
    SubcommandName{"send", Subcommand::Send},
    SubcommandName{"status", Subcommand::Status},
    SubcommandName{"list", Subcommand::List},
    SubcommandName{"ports", Subcommand::Ports},
};

ParsedArguments usage(const QString& message) {
    return {std::nullopt, message, kExitUsage};
}

} // namespace

ParsedArguments parseArguments(const QStringList& arguments) {
    QCommandLineParser parser;
    const QCommandLineOption port(QStringLiteral("port"), {}, QStringLiteral("N"));
    const QCommandLineOption baud(QStringLiteral("baud"), {}, QStringLiteral("RATE"));
    const QCommandLineOption device(QStringLiteral("device"), {}, QStringLiteral("PATH"));
    const QCommandLineOption timeout(QStringLiteral("timeout"), {}, QStringLiteral("MS"));
    const QCommandLineOption json(QStringLiteral("json"));
    const QCommandLineOption quiet(QStringList{QStringLiteral("q"), QStringLiteral("quiet")});
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    parser.addOptions({port, baud, device, timeout, json, quiet, help, version});
    if (!parser.parse(arguments))
        return usage(parser.errorText() + QStringLiteral(" See kavoctl --help."));
    if (parser.isSet(help))
        return {std::nullopt, kHelp, kExitOk};
    if (parser.isSet(version))
        return {std::nullopt, QStringLiteral("kavoctl %1\n").arg(QStringLiteral(KAVO_VERSION)),
                kExitOk};

    QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return usage(QStringLiteral("no command given; see kavoctl --help"));
    const QString name = positional.takeFirst();
    const auto known = std::ranges::find_if(kSubcommands, [&](const SubcommandName& entry) {
        return name == QLatin1String(entry.name);
    });
    if (known == kSubcommands.end())
        return usage(
            QStringLiteral("unknown command \"%1\"; see kavoctl --help").arg(escapeControls(name)));

    Invocation invocation;
    invocation.subcommand = known->subcommand;
    invocation.arguments = positional;
    invocation.json = parser.isSet(json);
    invocation.quiet = parser.isSet(quiet);
    invocation.replyWindow = kDefaultReplyWindow;

    const bool usesLine =
        invocation.subcommand == Subcommand::Send || invocation.subcommand == Subcommand::Status;
    if (!usesLine && !parser.optionNames().isEmpty()) {
        const QString option = parser.optionNames().constFirst();
        const QString dashes = option.size() > 1 ? QStringLiteral("--") : QStringLiteral("-");
        return usage(QStringLiteral("%1 takes no option %2%3").arg(name, dashes, option));
    }
    if (invocation.subcommand == Subcommand::Send && positional.isEmpty())
        return usage(QStringLiteral("send needs a command, or - to read commands from stdin"));
    if (invocation.subcommand == Subcommand::Status || invocation.subcommand == Subcommand::Ports) {
        if (!positional.isEmpty())
            return usage(QStringLiteral("%1 takes no arguments").arg(name));
    }

    if (parser.isSet(port)) {
        invocation.port = wholeNumber(parser.value(port), kLowestPort, kHighestPort);
        if (!invocation.port)
            return usage(QStringLiteral("--port takes a port number from %1 to %2, not \"%3\"")
                             .arg(kLowestPort)
                             .arg(kHighestPort)
                             .arg(escapeControls(parser.value(port))));
    }
    if (parser.isSet(baud)) {
        const QString rate = parser.value(baud);
        if (rate == QLatin1String("9600"))
            invocation.baudCode = kBaud9600;
        else if (rate == QLatin1String("19200"))
            invocation.baudCode = kBaud19200;
        else
            return usage(
                QStringLiteral("--baud takes 9600 or 19200, not \"%1\"").arg(escapeControls(rate)));
    }
    if (parser.isSet(device)) {
        invocation.device = parser.value(device);
        if (invocation.device.isEmpty())
            return usage(
                QStringLiteral("--device takes the path of a device, socket://HOST:PORT or "
                               "unix:PATH"));
        if (invocation.port)
            return usage(QStringLiteral("--port and --device cannot be given together"));
    }
    if (parser.isSet(timeout)) {
        const auto longest = int(kLongestReplyWindow.count());
        const auto window = wholeNumber(parser.value(timeout), 1, longest);
        if (!window)
            return usage(QStringLiteral("--timeout takes milliseconds from 1 to %1, not \"%2\"")
                             .arg(longest)
                             .arg(escapeControls(parser.value(timeout))));
        invocation.replyWindow = std::chrono::milliseconds(*window);
    }

    return {invocation, {}, kExitOk};
}

} // namespace kavo::cli
