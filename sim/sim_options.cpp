#include "sim_options.h"

#include <QCommandLineParser>
#include <random>

namespace kavo::sim {
namespace {

constexpr qint64 kMaxMilliseconds = 24LL * 3600 * 1000;
constexpr double kMaxHangUpSeconds = 24.0 * 3600;
constexpr int kMaxFloodPerSecond = 1000000;
constexpr int kMaxPort = 15;
constexpr int kMaxPieceSize = 1024;

const QString kDescription =
    QStringLiteral("A simulated projector for kavo-control. It opens a pseudo-terminal, links it\n"
                   "into the per-user port folder as COM<n> and answers the panel's commands:\n"
                   "acknowledgement for every known command, \"?\" and CR for anything else, and\n"
                   "the status reads with data. It prints one line per exchange and removes its\n"
                   "link when it stops (Ctrl+C or SIGTERM). With --listen it serves the same\n"
                   "projector over TCP instead, as a network serial server in raw mode does, one\n"
                   "client at a time, and leaves the port folder alone.");

// Reads the options that are set, keeping the first complaint.
class OptionReader {
  public:
    explicit OptionReader(const QCommandLineParser& parser) : m_parser(parser) {}

    template <typename T> void integer(const char* name, qint64 low, qint64 high, T& target) {
        const QString key = QString::fromLatin1(name);
        if (!m_error.isEmpty() || !m_parser.isSet(key))
            return;
        bool ok = false;
        const QString text = m_parser.value(key);
        const qint64 value = text.trimmed().toLongLong(&ok);
        if (ok && value >= low && value <= high) {
            target = T(value);
            return;
        }
        m_error = QStringLiteral("--%1 wants a whole number from %2 to %3, not \"%4\"")
                      .arg(key)
                      .arg(low)
                      .arg(high)
                      .arg(text);
    }

    void duration(const char* name, qint64 low, qint64 high, milliseconds& target) {
        qint64 count = target.count();
        integer(name, low, high, count);
        target = milliseconds{count};
    }

    template <typename Read> void text(const char* name, const char* wanted, Read read) {
        const QString key = QString::fromLatin1(name);
        if (!m_error.isEmpty() || !m_parser.isSet(key))
            return;
        const QString value = m_parser.value(key);
        if (!read(value.trimmed())) {
            m_error = QStringLiteral("--%1 wants %2, not \"%3\"")
                          .arg(key, QString::fromLatin1(wanted), value);
        }
    }

    const QString& error() const { return m_error; }

  private:
    const QCommandLineParser& m_parser;
    QString m_error;
};

std::optional<LampMode> readLampMode(const QString& text) {
    const QString word = text.toUpper();
    if (word == QLatin1String("HIGH"))
        return LampMode::High;
    if (word == QLatin1String("NORMAL"))
        return LampMode::Normal;
    if (word == QLatin1String("ECO"))
        return LampMode::Eco;
    return std::nullopt;
}

} // namespace

ParsedOptions parseOptions(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(kDescription);
    const auto option = [](const char* name, const QString& help, const char* value) {
        return QCommandLineOption(QString::fromLatin1(name), help, QString::fromLatin1(value));
    };
    const auto byDefault = [](const char* text, qint64 value) {
        return QStringLiteral("%1 (default %2).").arg(QLatin1String(text)).arg(value);
    };
    parser.addOptions({
        option("port", QStringLiteral("Port number 1-15: the link is COM<n> (default 1)."), "n"),
        option("seed", QStringLiteral("Seed of the random source (default: random)."), "n"),
        option("warmup-ms", byDefault("Warm-up after power on", kDefaultWarmUp.count()), "ms"),
        option("cooldown-ms", byDefault("Cool-down after power off", kDefaultCoolDown.count()),
               "ms"),
        option("lamp-hours", byDefault("Lamp hours at start", kDefaultLampHours), "n"),
        option("lamp-hour-ms", byDefault("Length of one lamp hour", kDefaultLampHour.count()),
               "ms"),
        option("lamp-mode",
               QStringLiteral("Lamp mode at start: HIGH, NORMAL or ECO (default NORMAL)."), "mode"),
        QCommandLineOption(QStringLiteral("no-answer"), QStringLiteral("Never answer.")),
        option("delay-ms", QStringLiteral("Wait this long before every reply."), "ms"),
        option("split", QStringLiteral("Send replies in pieces of this many bytes."), "bytes"),
        option("split-gap-ms",
               byDefault("Gap between the pieces of a split reply", kDefaultSplitGap.count()),
               "ms"),
        option("noise",
               QStringLiteral("Chance in percent of a random byte before each reply byte."),
               "percent"),
        option("flood", QStringLiteral("Send this many random bytes per second, unasked."),
               "bytes"),
        option("hang-up-after",
               QStringLiteral("Close the pseudo-terminal after this many seconds; with "
                              "--listen, drop each connection this long after it was made."),
               "seconds"),
        option("listen",
               QStringLiteral("Serve over TCP on [ADDRESS:]PORT instead (address 127.0.0.1 "
                              "unless given; port 0: any free one)."),
               "address"),
    });
    const QCommandLineOption help = parser.addHelpOption();

    ParsedOptions result;
    if (!parser.parse(arguments)) {
        result.message = parser.errorText() + QStringLiteral("\nTry --help.");
        result.exitCode = 2;
        return result;
    }
    if (parser.isSet(help)) {
        result.message = parser.helpText();
        return result;
    }
    if (!parser.positionalArguments().isEmpty()) {
        result.message = QStringLiteral("unexpected argument \"%1\"\nTry --help.")
                             .arg(parser.positionalArguments().first());
        result.exitCode = 2;
        return result;
    }

    Options options;
    options.seed = std::random_device{}();
    OptionReader read(parser);
    read.integer("port", 1, kMaxPort, options.port);
    read.integer("seed", 0, 0xFFFFFFFFLL, options.seed);
    read.duration("warmup-ms", 0, kMaxMilliseconds, options.model.warmUp);
    read.duration("cooldown-ms", 0, kMaxMilliseconds, options.model.coolDown);
    read.integer("lamp-hours", 0, kMaxLampHours, options.model.lampHours);
    read.duration("lamp-hour-ms", 1, kDefaultLampHour.count(), options.model.lampHour);
    read.text("lamp-mode", "HIGH, NORMAL or ECO", [&](const QString& word) {
        const auto mode = readLampMode(word);
        if (mode)
            options.model.lampMode = *mode;
        return mode.has_value();
    });
    options.faults.silent = parser.isSet(QStringLiteral("no-answer"));
    read.duration("delay-ms", 0, kMaxMilliseconds, options.faults.delay);
    read.integer("split", 1, kMaxPieceSize, options.faults.pieceSize);
    read.duration("split-gap-ms", 0, kMaxMilliseconds, options.faults.pieceGap);
    read.integer("noise", 0, 100, options.faults.noisePercent);
    read.integer("flood", 0, kMaxFloodPerSecond, options.floodPerSecond);
    read.text("hang-up-after", "a number of seconds above 0", [&](const QString& text) {
        bool ok = false;
        const double seconds = text.toDouble(&ok);
        if (!ok || !(seconds > 0) || seconds > kMaxHangUpSeconds)
            return false;
        options.hangUpAfter = milliseconds{qint64(seconds * 1000.0 + 0.5)};
        return true;
    });
    read.text("listen", "[ADDRESS:]PORT, such as 4001 or 0.0.0.0:4001", [&](const QString& text) {
        options.listen = readListenAddress(text);
        return options.listen.has_value();
    });
    if (read.error().isEmpty() && options.listen && parser.isSet(QStringLiteral("port"))) {
        result.message = QStringLiteral("--port and --listen cannot be given together: a port "
                                        "folder entry for a listening simulator holds its "
                                        "socket:// name\nTry --help.");
        result.exitCode = 2;
        return result;
    }
    if (!read.error().isEmpty()) {
        result.message = read.error() + QStringLiteral("\nTry --help.");
        result.exitCode = 2;
        return result;
    }
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
