#include "options.h"

#include "cli_constants.h"
#include "kavo_version.h"
#include "line_settings.h"
#include "port_paths.h"
#include "projector_vocabulary.h"

#include <array>
#include <QCommandLineParser>

namespace kavo::cli {
namespace {

const QString kHelp = QStringLiteral(
    "Usage: kavoctl [OPTION...] COMMAND [ARG...]\n"
    "Drives the projector on the panel's serial line, without a display.\n"
    "\n"
    "  power on|off [--wait[=S]]  --wait: until it is on or in standby, waiting out\n"
    "                 a warm-up or cool-down first, at most S seconds (300)\n"
    "  input 1|2|3|network    mute picture|audio|all on|off    freeze on|off\n"
    "  lamp-mode normal|eco1|eco2|auto    volume up|down [N]    lamp\n"
    "  status         power, input, lamp, temperatures and errors, in short\n"
    "  send CMD...    raw commands, each with its CR, one at a time, with their\n"
    "                 traces; \"-\" reads them from stdin, one a line (# comments)\n"
    "  list [WORD...] panel buttons and catalogue entries holding every word\n"
    "  ports          COM1..COM15, their devices and whether they open\n"
    "\n"
    "Options:\n"
    "  --port N       COM port 1..15 (default: the panel's stored port)\n"
    "  --baud RATE    9600 or 19200 (default: the panel's stored rate)\n"
    "  --device PATH  a device, socket://HOST:PORT or unix:PATH, not a COM port\n"
    "  --timeout MS   reply window, 1..60000 ms (default 1000)\n"
    "  --json         one JSON document      -q, --quiet   failures only, on stderr\n"
    "  -h, --help     this help              --version     the version\n"
    "\n"
    "Exit status: 0 done, 1 usage error, 2 the port did not open, 3 no reply, 4 a\n"
    "reply \"?\", unfinished or no status, 5 --wait: not reached. See kavoctl(1).\n");

struct SubcommandName {
    const char* name;
    Subcommand subcommand;
};
constexpr std::array kSubcommands{
    SubcommandName{"send", Subcommand::Send},     SubcommandName{"status", Subcommand::Status},
    SubcommandName{"list", Subcommand::List},     SubcommandName{"ports", Subcommand::Ports},
    SubcommandName{"power", Subcommand::Act},     SubcommandName{"input", Subcommand::Act},
    SubcommandName{"mute", Subcommand::Act},      SubcommandName{"freeze", Subcommand::Act},
    SubcommandName{"lamp-mode", Subcommand::Act}, SubcommandName{"volume", Subcommand::Act},
    SubcommandName{"lamp", Subcommand::Lamp},
};

constexpr int kMostVolumeSteps = 50;

// "a, b or c"
QString choices(const QStringList& words) {
    if (words.size() < 2)
        return words.join(QString());
    return words.mid(0, words.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" or ") +
           words.constLast();
}

// The last words of the actions named `prefix` and one word more.
QStringList wordsAfter(const QString& prefix) {
    QStringList words;
    for (const Action* action : actionsNamed(prefix))
        words.append(action->name.section(QLatin1Char(' '), -1));
    return words;
}

// The verb's words as an action and its commands; an error names the choices.
std::optional<QString> takeVerb(const QString& verb, QStringList words, Invocation& invocation) {
    int times = 1;
    if (verb == QLatin1String("volume") && words.size() == 2) {
        const auto steps = wholeNumber(words.takeLast(), 1, kMostVolumeSteps);
        if (!steps)
            return QStringLiteral("volume takes a number of steps from 1 to %1")
                .arg(kMostVolumeSteps);
        times = *steps;
    }
    QString prefix = verb;
    // mute picture|audio|all on|off: the first word is part of the name.
    if (verb == QLatin1String("mute")) {
        const QStringList what{QStringLiteral("picture"), QStringLiteral("audio"),
                               QStringLiteral("all")};
        if (words.isEmpty() || !what.contains(words.constFirst()))
            return QStringLiteral("mute takes %1, then on or off").arg(choices(what));
        prefix += QLatin1Char(' ') + words.takeFirst();
    }
    const QStringList known = wordsAfter(prefix);
    const Action* action =
        words.size() == 1 ? findAction(prefix + QLatin1Char(' ') + words.constFirst()) : nullptr;
    if (!action)
        return QStringLiteral("%1 takes %2").arg(prefix, choices(known));
    invocation.verb = action->name;
    for (int n = 0; n < times; ++n)
        invocation.arguments += action->commands;
    return std::nullopt;
}

ParsedArguments usage(const QString& message) {
    return {std::nullopt, message, kExitUsage};
}

} // namespace

ParsedArguments parseArguments(const QStringList& given) {
    // --wait alone waits the default time: the parser wants a value for an
    // option that may take one.
    QStringList arguments = given;
    for (qsizetype n = 1; n < arguments.size() && arguments[n] != QLatin1String("--"); ++n) {
        if (arguments[n] == QLatin1String("--wait"))
            arguments[n] = QStringLiteral("--wait=%1").arg(kDefaultPowerWait.count());
    }
    QCommandLineParser parser;
    const QCommandLineOption port(QStringLiteral("port"), {}, QStringLiteral("N"));
    const QCommandLineOption baud(QStringLiteral("baud"), {}, QStringLiteral("RATE"));
    const QCommandLineOption device(QStringLiteral("device"), {}, QStringLiteral("PATH"));
    const QCommandLineOption timeout(QStringLiteral("timeout"), {}, QStringLiteral("MS"));
    const QCommandLineOption json(QStringLiteral("json"));
    const QCommandLineOption quiet(QStringList{QStringLiteral("q"), QStringLiteral("quiet")});
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    const QCommandLineOption wait(QStringLiteral("wait"), {}, QStringLiteral("SECONDS"));
    parser.addOptions({port, baud, device, timeout, json, quiet, help, version, wait});
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
        invocation.subcommand != Subcommand::List && invocation.subcommand != Subcommand::Ports;
    if (!usesLine && !parser.optionNames().isEmpty()) {
        const QString option = parser.optionNames().constFirst();
        const QString dashes = option.size() > 1 ? QStringLiteral("--") : QStringLiteral("-");
        return usage(QStringLiteral("%1 takes no option %2%3").arg(name, dashes, option));
    }
    if (invocation.subcommand == Subcommand::Send && positional.isEmpty())
        return usage(QStringLiteral("send needs a command, or - to read commands from stdin"));
    if (invocation.subcommand == Subcommand::Status || invocation.subcommand == Subcommand::Ports ||
        invocation.subcommand == Subcommand::Lamp) {
        if (!positional.isEmpty())
            return usage(QStringLiteral("%1 takes no arguments").arg(name));
    }
    if (invocation.subcommand == Subcommand::Act) {
        invocation.arguments.clear();
        if (const auto error = takeVerb(name, positional, invocation))
            return usage(escapeControls(*error));
    }
    if (parser.isSet(wait)) {
        if (!invocation.verb.startsWith(QLatin1String("power ")))
            return usage(QStringLiteral("--wait is for power on and power off"));
        const auto seconds = wholeNumber(parser.value(wait), 1, int(kLongestPowerWait.count()));
        if (!seconds)
            return usage(QStringLiteral("--wait takes seconds from 1 to %1, not \"%2\"")
                             .arg(kLongestPowerWait.count())
                             .arg(escapeControls(parser.value(wait))));
        invocation.powerWait = std::chrono::seconds(*seconds);
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
