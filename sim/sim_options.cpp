#include "sim_options.h"

#include "option_table.h"
#include "projector_model.h"

#include <random>

namespace kavo::sim {
namespace {

constexpr qint64 kMaxMilliseconds = 24LL * 3600 * 1000;
constexpr double kMaxHangUpSeconds = 24.0 * 3600;
constexpr int kMaxFloodPerSecond = 1000000;
constexpr int kMaxPort = 15;
constexpr int kMaxPieceSize = 1024;
constexpr int kHelpColumn = 27;

const QString kDescription =
    QStringLiteral("A simulated projector for kavo-control. It opens a pseudo-terminal, links it\n"
                   "into the per-user port folder as COM<n> and answers the panel's commands:\n"
                   "acknowledgement for every known command, \"?\" and CR for anything else, and\n"
                   "the status reads with data. It prints one line per exchange and removes its\n"
                   "link when it stops (Ctrl+C or SIGTERM). With --listen it serves the same\n"
                   "projector over TCP instead, as a network serial server in raw mode does, one\n"
                   "client at a time, and leaves the port folder alone.");

} // namespace

ParsedOptions parseOptions(const QStringList& arguments) {
    Options options;
    options.seed = std::random_device{}();
    const auto number = [](qint64 value) { return QString::number(value); };
    const QString wholeNumber = QStringLiteral("a whole number");
    OptionReader read(
        {
            {.names = {"port"},
             .valueName = "N",
             .help = "Port number 1-15: the link is COM<n>.",
             .byDefault = "1",
             .check = numberInto(wholeNumber, 1, kMaxPort, options.port)},
            {.names = {"seed"},
             .valueName = "N",
             .help = "Seed of the random source.",
             .byDefault = "random",
             .check = numberInto(wholeNumber, 0, 0xFFFFFFFFLL, options.seed)},
            {.names = {"warmup-ms"},
             .valueName = "MS",
             .help = "Warm-up after power on.",
             .byDefault = number(kDefaultWarmUp.count()),
             .check = numberInto(wholeNumber, 0, kMaxMilliseconds, options.model.warmUp)},
            {.names = {"cooldown-ms"},
             .valueName = "MS",
             .help = "Cool-down after power off.",
             .byDefault = number(kDefaultCoolDown.count()),
             .check = numberInto(wholeNumber, 0, kMaxMilliseconds, options.model.coolDown)},
            {.names = {"lamp-hours"},
             .valueName = "N",
             .help = "Lamp hours at start.",
             .byDefault = number(kDefaultLampHours),
             .check = numberInto(wholeNumber, 0, kMaxLampHours, options.model.lampHours)},
            {.names = {"lamp-hour-ms"},
             .valueName = "MS",
             .help = "Length of one lamp hour.",
             .byDefault = number(kDefaultLampHour.count()),
             .check = numberInto(wholeNumber, 1, kDefaultLampHour.count(), options.model.lampHour)},
            {.names = {"lamp-mode"},
             .valueName = "MODE",
             .help = "Lamp mode at start: HIGH, NORMAL or ECO.",
             .byDefault = "NORMAL",
             .check = choiceInto<LampMode>(
                 {{"HIGH", LampMode::High}, {"NORMAL", LampMode::Normal}, {"ECO", LampMode::Eco}},
                 options.model.lampMode, Qt::CaseInsensitive)},
            {.names = {"no-answer"}, .help = "Never answer."},
            {.names = {"delay-ms"},
             .valueName = "MS",
             .help = "Wait this long before every reply.",
             .check = numberInto(wholeNumber, 0, kMaxMilliseconds, options.faults.delay)},
            {.names = {"split"},
             .valueName = "BYTES",
             .help = "Send replies in pieces of this many bytes.",
             .check = numberInto(wholeNumber, 1, kMaxPieceSize, options.faults.pieceSize)},
            {.names = {"split-gap-ms"},
             .valueName = "MS",
             .help = "Gap between the pieces of a split reply.",
             .byDefault = number(kDefaultSplitGap.count()),
             .check = numberInto(wholeNumber, 0, kMaxMilliseconds, options.faults.pieceGap)},
            {.names = {"noise"},
             .valueName = "PERCENT",
             .help = "Chance in percent of a random byte before each reply byte.",
             .check = numberInto(wholeNumber, 0, 100, options.faults.noisePercent)},
            {.names = {"flood"},
             .valueName = "BYTES",
             .help = "Send this many random bytes per second, unasked.",
             .check = numberInto(wholeNumber, 0, kMaxFloodPerSecond, options.floodPerSecond)},
            {.names = {"hang-up-after"},
             .valueName = "SECONDS",
             .help = "Close the pseudo-terminal after this many seconds; with --listen, drop "
                     "each connection this long after it was made.",
             .check = [&](const QString& text) -> std::optional<QString> {
                 bool ok = false;
                 const double seconds = text.toDouble(&ok);
                 if (!ok || !(seconds > 0) || seconds > kMaxHangUpSeconds)
                     return QStringLiteral("a number of seconds above 0");
                 options.hangUpAfter = milliseconds{qint64(seconds * 1000.0 + 0.5)};
                 return std::nullopt;
             }},
            {.names = {"listen"},
             .valueName = "ADDRESS",
             .help = "Serve over TCP on [ADDRESS:]PORT instead (address 127.0.0.1 unless "
                     "given; port 0: any free one).",
             .check = [&](const QString& text) -> std::optional<QString> {
                 options.listen = readListenAddress(text);
                 if (!options.listen)
                     return QStringLiteral("[ADDRESS:]PORT, such as 4001 or 0.0.0.0:4001");
                 return std::nullopt;
             }},
            {.names = {"h", "help"}, .help = "This help."},
        },
        {.verb = QStringLiteral("wants"), .trimValues = true});

    ParsedOptions result;
    const auto refuse = [&result](const QString& message) {
        result.message = message + QStringLiteral("\nTry --help.");
        result.exitCode = 2;
        return result;
    };
    if (!read.parse(arguments))
        return refuse(read.errorText());
    if (read.isSet(QStringLiteral("help"))) {
        result.message =
            QStringLiteral("Usage: kavo-projector-sim [OPTION...]\n%1\n\n%2\n\nOptions:\n%3")
                .arg(kDescription, QLatin1String(kControlHelp), read.help(kHelpColumn));
        return result;
    }
    if (!read.positionalArguments().isEmpty())
        return refuse(QStringLiteral("unexpected argument \"%1\"")
                          .arg(read.positionalArguments().constFirst()));
    if (!read.readValues())
        return refuse(read.error());
    options.faults.silent = read.isSet(QStringLiteral("no-answer"));
    if (options.listen && read.isSet(QStringLiteral("port")))
        return refuse(QStringLiteral("--port and --listen cannot be given together: a port "
                                     "folder entry for a listening simulator holds its "
                                     "socket:// name"));
    result.options = options;
    return result;
}

std::optional<ListenAddress> readListenAddress(const QString& text) {
    ListenAddress listen;
    QString portText = text;
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0 && colon > text.lastIndexOf(QLatin1Char(']'))) {
        QString host = text.left(colon);
        portText = text.mid(colon + 1);
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
        else if (host.contains(QLatin1Char(':')))
            return std::nullopt; // IPv6 without brackets
        if (!listen.address.setAddress(host))
            return std::nullopt;
    }
    bool ok = false;
    const uint port = portText.toUInt(&ok);
    if (!ok || port > 65535 || portText.startsWith(QLatin1Char('+')))
        return std::nullopt;
    listen.port = quint16(port);
    return listen;
}

QString describeFaults(const Options& options) {
    QStringList faults;
    const FaultSettings& f = options.faults;
    if (f.silent)
        faults << QStringLiteral("no answer");
    if (f.delay.count() > 0)
        faults << QStringLiteral("replies %1 ms late").arg(f.delay.count());
    if (f.pieceSize > 0) {
        faults << QStringLiteral("replies in pieces of %1 bytes %2 ms apart")
                      .arg(f.pieceSize)
                      .arg(f.pieceGap.count());
    }
    if (f.noisePercent > 0)
        faults << QStringLiteral("%1 % noise").arg(f.noisePercent);
    if (options.floodPerSecond > 0)
        faults << QStringLiteral("flood of %1 bytes/s").arg(options.floodPerSecond);
    if (options.hangUpAfter) {
        faults << QStringLiteral("hang-up after %1 s")
                      .arg(double(options.hangUpAfter->count()) / 1000.0);
    }
    return faults.join(QStringLiteral(", "));
}

} // namespace kavo::sim
