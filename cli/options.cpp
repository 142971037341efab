#include "options.h"

#include "cli_constants.h"
#include "kavo_version.h"
#include "line_settings.h"
#include "option_table.h"
#include "port_paths.h"
#include "projector_vocabulary.h"

#include <algorithm>
#include <array>
#include <QRegularExpression>

namespace kavo::cli {
namespace {

// The options are written below this from the table.
const QString kUsage = QStringLiteral(
    "Usage: kavoctl [OPTION...] COMMAND [ARG...]\n"
    "Drives the projector on the panel's serial line, without a display.\n"
    "  power on|off [--wait[=S]]  the projector on or off; --wait: see below\n"
    "  input 1|2|3|network    mute picture|audio|all on|off    freeze on|off\n"
    "  lamp-mode normal|eco1|eco2|auto    volume up|down [N]    alerts    schedule\n"
    "  status, lamp   in short: power, input, temperatures, errors; the lamp reads\n"
    "  send CMD...    raw commands with their traces; \"-\": from stdin, one a line\n"
    "  list [WORD...] panel buttons and catalogue entries holding every word\n"
    "  ports          COM1..COM15, their devices and whether they open\n"
    "  --broker URL list | status or VERB..., then NAME... or --group G   across it\n"
    "Options:\n");
const QString kExitStatus =
    QStringLiteral("Exit status: 0 done, 1 usage error, 2 the port or broker did not open, 3 no\n"
                   "reply, 4 a reply \"?\", unfinished or no status, 5 --wait: not reached, 6 a\n"
                   "projector not on the broker or offline, 7 not all did it. See kavoctl(1).\n");
constexpr int kHelpColumn = 17;

struct SubcommandName {
    const char* name;
    Subcommand subcommand;
};
constexpr std::array kSubcommands{
    SubcommandName{"send", Subcommand::Send},         SubcommandName{"status", Subcommand::Status},
    SubcommandName{"list", Subcommand::List},         SubcommandName{"ports", Subcommand::Ports},
    SubcommandName{"power", Subcommand::Act},         SubcommandName{"input", Subcommand::Act},
    SubcommandName{"mute", Subcommand::Act},          SubcommandName{"freeze", Subcommand::Act},
    SubcommandName{"lamp-mode", Subcommand::Act},     SubcommandName{"volume", Subcommand::Act},
    SubcommandName{"lamp", Subcommand::Lamp},         SubcommandName{"alerts", Subcommand::Alerts},
    SubcommandName{"schedule", Subcommand::Schedule},
};

constexpr int kMostVolumeSteps = 50;
constexpr int kLongestPath = 4096;

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
            return QStringLiteral("mute takes %1, then on or off").arg(listOfChoices(what));
        prefix += QLatin1Char(' ') + words.takeFirst();
    }
    const QStringList known = wordsAfter(prefix);
    const Action* action =
        words.size() == 1 ? findAction(prefix + QLatin1Char(' ') + words.constFirst()) : nullptr;
    if (!action)
        return QStringLiteral("%1 takes %2").arg(prefix, listOfChoices(known));
    invocation.verb = action->name;
    for (int n = 0; n < times; ++n)
        invocation.arguments += action->commands;
    return std::nullopt;
}

ParsedArguments usage(const QString& message) {
    return {std::nullopt, message, kExitUsage};
}

// The options that only --broker uses, and those that go with it too.
constexpr std::array kBrokerOnly{"broker-password-file", "broker-ca", "base", "group"};
constexpr std::array kBesideBroker{"broker", "json", "q", "quiet", "wait"};

// A verb across the building: its words are the longest run after it that
// names one of its actions, the words after them the projectors' names. A
// volume step count would be taken for a name, so it is refused: each
// request is one step.
std::optional<QString> takeVerbAndNames(const QString& verb, const QStringList& words,
                                        Invocation& invocation) {
    for (qsizetype taken = words.size(); taken > 0; --taken) {
        Invocation trial;
        if (takeVerb(verb, words.first(taken), trial))
            continue;
        if (verb == QLatin1String("volume") && taken == 2)
            return QStringLiteral("volume across the building goes one step a request");
        invocation.verb = trial.verb;
        invocation.arguments = words.sliced(taken);
        return std::nullopt;
    }
    return takeVerb(verb, words.first(std::min<qsizetype>(words.size(), 1)), invocation);
}

// list, status and the verbs across the projectors on a broker: their own
// options, names for status and the verbs (or --group), no words for list.
// The table's checks write into `invocation` as its values are read.
ParsedArguments brokerInvocation(OptionReader& read, const QString& name, Invocation& invocation) {
    const bool act = invocation.subcommand == Subcommand::Act;
    if (invocation.subcommand != Subcommand::List && invocation.subcommand != Subcommand::Status &&
        !act)
        return usage(
            QStringLiteral("--broker is for list, status and the verbs, not %1").arg(name));
    if (act) {
        const QStringList words = std::exchange(invocation.arguments, {});
        if (const auto error = takeVerbAndNames(name, words, invocation))
            return usage(escapeControls(*error));
    } else if (read.isSet(QStringLiteral("wait"))) {
        return usage(QStringLiteral("--wait is for the verbs, not %1").arg(name));
    }
    for (const QString& option : read.optionNames()) {
        const auto known = [&option](const char* each) { return option == QLatin1String(each); };
        if (std::ranges::none_of(kBrokerOnly, known) && std::ranges::none_of(kBesideBroker, known))
            return usage(QStringLiteral("--broker takes no option --%1").arg(option));
    }
    if (invocation.subcommand == Subcommand::List && !invocation.arguments.isEmpty())
        return usage(QStringLiteral("list --broker takes no words; status takes names"));
    if (invocation.subcommand == Subcommand::List && read.isSet(QStringLiteral("group")))
        return usage(QStringLiteral("--group is for status and the verbs; list shows every group"));
    if (invocation.subcommand != Subcommand::List && invocation.arguments.isEmpty() &&
        !read.isSet(QStringLiteral("group")))
        return usage(QStringLiteral("%1 --broker takes projector names or --group G")
                         .arg(act ? invocation.verb : name));
    if (!read.readValues())
        return usage(read.error());
    if (!invocation.brokerPasswordFile.isEmpty() && invocation.broker->user.isEmpty())
        return usage(QStringLiteral("--broker-password-file needs a user name in --broker "
                                    "(mqtt://USER@HOST)"));
    if (!invocation.brokerCa.isEmpty() && !invocation.broker->tls)
        return usage(QStringLiteral("--broker-ca is for mqtts://"));
    return {invocation, {}, kExitOk};
}

} // namespace

ParsedArguments parseArguments(const QStringList& arguments) {
    Invocation invocation;
    invocation.replyWindow = kDefaultReplyWindow;
    const auto longestWindow = kLongestReplyWindow.count();
    OptionReader read(
        {
            {.names = {"port"},
             .valueName = "N",
             .help = QStringLiteral("COM port %1..%2").arg(kLowestPort).arg(kHighestPort),
             .byDefault = "the panel's stored port",
             .check = numberInto("a port number", kLowestPort, kHighestPort, invocation.port)},
            {.names = {"baud"},
             .valueName = "RATE",
             .help = "9600 or 19200",
             .byDefault = "the panel's stored rate",
             .check = choiceInto<std::uint8_t>({{"9600", kBaud9600}, {"19200", kBaud19200}},
                                               invocation.baudCode)},
            // Any text: an empty one is refused in words of its own below.
            {.names = {"device"},
             .valueName = "PATH",
             .help = "a device, socket://HOST:PORT or unix:PATH, not a COM port"},
            {.names = {"timeout"},
             .valueName = "MS",
             .help = QStringLiteral("reply window, 1..%1 ms").arg(longestWindow),
             .byDefault = QString::number(kDefaultReplyWindow.count()),
             .check = numberInto("milliseconds", 1, longestWindow, invocation.replyWindow)},
            {.names = {"wait"},
             .valueName = "S",
             .help = "power on|off: until on or in standby, after a warm-up or cool-down; "
                     "--broker: for each result; at most S s",
             .byDefault = QString::number(kDefaultPowerWait.count()),
             .check = numberInto("seconds", 1, kLongestPowerWait.count(), invocation.powerWait),
             .optionalValue = true},
            {.names = {"broker"},
             .valueName = "URL",
             .help = "mqtt[s]://[USER@]HOST[:PORT]; --broker-password-file FILE, "
                     "--broker-ca FILE (mqtts), --base TOPIC (default kavo)",
             .check = [&invocation](const QString& text) -> std::optional<QString> {
                 QString wanted;
                 invocation.broker =
                     parseBrokerAddress(text, QStringLiteral("--broker-password-file"), wanted);
                 return invocation.broker ? std::nullopt : std::optional(wanted);
             },
             .shownAs = shownBroker},
            {.names = {"broker-password-file"},
             .valueName = "FILE",
             .check = printableInto(kLongestPath, "a file name", invocation.brokerPasswordFile)},
            {.names = {"broker-ca"},
             .valueName = "FILE",
             .check = printableInto(kLongestPath, "a file name", invocation.brokerCa)},
            {.names = {"base"}, .valueName = "TOPIC", .check = topicInto(false, invocation.base)},
            {.names = {"group"},
             .valueName = "G",
             .check = [&invocation](const QString& text) -> std::optional<QString> {
                 static const QRegularExpression group(
                     QStringLiteral("\\A[A-Za-z0-9._-]{1,64}\\z"));
                 if (!group.match(text).hasMatch())
                     return QStringLiteral("1 to 64 letters, digits, -, _ or .");
                 invocation.group = text;
                 return std::nullopt;
             }},
            {.names = {"json"}, .help = "one JSON document"},
            {.names = {"q", "quiet"}, .help = "failures only, on stderr"},
            {.names = {"h", "help"}, .help = "this help"},
            {.names = {"version"}, .help = "the version"},
        },
        {.shownAs = escapeControls});
    if (!read.parse(arguments))
        return usage(read.errorText() + QStringLiteral(" See kavoctl --help."));
    if (read.isSet(QStringLiteral("help")))
        return {std::nullopt, kUsage + read.help(kHelpColumn) + kExitStatus, kExitOk};
    if (read.isSet(QStringLiteral("version")))
        return {std::nullopt, QStringLiteral("kavoctl %1\n").arg(QStringLiteral(KAVO_VERSION)),
                kExitOk};

    QStringList positional = read.positionalArguments();
    if (positional.isEmpty())
        return usage(QStringLiteral("no command given; see kavoctl --help"));
    const QString name = positional.takeFirst();
    const auto known = std::ranges::find_if(kSubcommands, [&](const SubcommandName& entry) {
        return name == QLatin1String(entry.name);
    });
    if (known == kSubcommands.end())
        return usage(
            QStringLiteral("unknown command \"%1\"; see kavoctl --help").arg(escapeControls(name)));

    invocation.subcommand = known->subcommand;
    invocation.arguments = positional;
    invocation.json = read.isSet(QStringLiteral("json"));
    invocation.quiet = read.isSet(QStringLiteral("quiet"));

    if (read.isSet(QStringLiteral("broker")))
        return brokerInvocation(read, name, invocation);
    for (const char* option : kBrokerOnly) {
        if (read.isSet(QLatin1String(option)))
            return usage(QStringLiteral("--%1 needs --broker").arg(QLatin1String(option)));
    }

    const bool usesLine =
        invocation.subcommand != Subcommand::List && invocation.subcommand != Subcommand::Ports;
    if (!usesLine && !read.optionNames().isEmpty()) {
        const QString option = read.optionNames().constFirst();
        const QString dashes = option.size() > 1 ? QStringLiteral("--") : QStringLiteral("-");
        return usage(QStringLiteral("%1 takes no option %2%3").arg(name, dashes, option));
    }
    if (invocation.subcommand == Subcommand::Send && positional.isEmpty())
        return usage(QStringLiteral("send needs a command, or - to read commands from stdin"));
    if (invocation.subcommand == Subcommand::Status || invocation.subcommand == Subcommand::Ports ||
        invocation.subcommand == Subcommand::Lamp || invocation.subcommand == Subcommand::Alerts ||
        invocation.subcommand == Subcommand::Schedule) {
        if (!positional.isEmpty())
            return usage(QStringLiteral("%1 takes no arguments").arg(name));
    }
    if (invocation.subcommand == Subcommand::Act) {
        invocation.arguments.clear();
        if (const auto error = takeVerb(name, positional, invocation))
            return usage(escapeControls(*error));
    }
    if (read.isSet(QStringLiteral("wait")) && !invocation.verb.startsWith(QLatin1String("power ")))
        return usage(QStringLiteral("--wait is for power on and power off"));
    if (!read.readValues())
        return usage(read.error());
    if (read.isSet(QStringLiteral("device"))) {
        invocation.device = read.value(QStringLiteral("device"));
        if (invocation.device.isEmpty())
            return usage(
                QStringLiteral("--device takes the path of a device, socket://HOST:PORT or "
                               "unix:PATH"));
        if (invocation.port)
            return usage(QStringLiteral("--port and --device cannot be given together"));
    }
    return {invocation, {}, kExitOk};
}

} // namespace kavo::cli
