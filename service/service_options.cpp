#include "service_options.h"

#include "kavo_version.h"
#include "line_settings.h"
#include "port_paths.h"

#include <array>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <QSettings>
#include <QUrl>

namespace kavo::service {
namespace {

constexpr int kExitError = 1;

const QString kHelp = QStringLiteral(
    "Usage: kavo-projectord [OPTION...]\n"
    "Owns one projector's serial line and shares it: every program that connects\n"
    "to its socket is served as if the line were its own, one command at a time.\n"
    "\n"
    "The line (one of --device and --port):\n"
    "  --device DEVICE     a device path, socket://HOST:PORT or unix:PATH\n"
    "  --port N            COM port 1..15, as the panel and kavoctl choose it\n"
    "  --baud RATE         9600 or 19200 (default 19200)\n"
    "  --name NAME         letters, digits, - and _ (default projector)\n"
    "Sharing it:\n"
    "  --socket PATH       the clients' socket (default $RUNTIME_DIRECTORY/NAME.sock\n"
    "                      under systemd, else $XDG_RUNTIME_DIR/kavo/NAME.sock)\n"
    "  --listen [ADDRESS:]PORT  also serve on TCP (address default 127.0.0.1;\n"
    "                      port 0: a free one, named in the journal)\n"
    "  --reply-window MS   how long a reply may take (default 1000)\n"
    "  --queue-wait MS     how long a command may wait for its turn (default 3000)\n"
    "Polling the projector's state:\n"
    "  --poll-status S     the status read every S seconds (default 30)\n"
    "  --poll-other S      the other six reads every S seconds (default 300)\n"
    "  --gap MS            the least pause before a poll after an exchange (default 20)\n"
    "Control systems (PJLink Class 1):\n"
    "  --pjlink [ADDRESS:]PORT  answer as a PJLink projector (4352 is the standard\n"
    "                      port; address default 127.0.0.1)\n"
    "  --pjlink-password-file FILE  the PJLink password, the file's first line\n"
    "  --pjlink-name NAME  the projector's PJLink name (default the service's name)\n"
    "  --model MODEL       the model PJLink and MQTT report (default QV-TN310)\n"
    "Home automation (MQTT):\n"
    "  --mqtt URL          the broker, mqtt://[USER@]HOST[:PORT] or mqtts://...\n"
    "  --mqtt-password-file FILE  the broker password, the file's first line\n"
    "  --mqtt-ca FILE      with mqtts: the certificate authorities to trust\n"
    "  --mqtt-base TOPIC   topics under TOPIC/NAME/ (default kavo)\n"
    "  --mqtt-discovery-prefix PREFIX  Home Assistant's discovery (default\n"
    "                      homeassistant; empty: none)\n"
    "Running it:\n"
    "  --journal FILE      also append the journal to FILE (rotated at 10 MB, three kept)\n"
    "  --config FILE       an INI file whose keys are these options' names\n"
    "  -h, --help          this help      --version   the version\n"
    "\n"
    "The journal goes to standard output, one line an exchange or event.\n"
    "Exit status: 0 stopped by SIGTERM or SIGINT, 1 a bad option or setting, or\n"
    "the socket cannot be served. See kavo-projectord(8).\n");

struct ValueOption {
    const char* name;
    const char* valueName;
};

// Every option that takes a value; these are also the configuration keys.
constexpr std::array kValueOptions{
    ValueOption{"device", "DEVICE"},
    ValueOption{"port", "N"},
    ValueOption{"baud", "RATE"},
    ValueOption{"name", "NAME"},
    ValueOption{"socket", "PATH"},
    ValueOption{"listen", "[ADDRESS:]PORT"},
    ValueOption{"reply-window", "MS"},
    ValueOption{"queue-wait", "MS"},
    ValueOption{"poll-status", "S"},
    ValueOption{"poll-other", "S"},
    ValueOption{"gap", "MS"},
    ValueOption{"journal", "FILE"},
    ValueOption{"pjlink", "[ADDRESS:]PORT"},
    ValueOption{"pjlink-password-file", "FILE"},
    ValueOption{"pjlink-name", "NAME"},
    ValueOption{"model", "MODEL"},
    ValueOption{"mqtt", "URL"},
    ValueOption{"mqtt-password-file", "FILE"},
    ValueOption{"mqtt-ca", "FILE"},
    ValueOption{"mqtt-base", "TOPIC"},
    ValueOption{"mqtt-discovery-prefix", "PREFIX"},
};

// A value and where it came from, for the error that names it.
struct Setting {
    QString value;
    QString origin; // "--baud" or "baud in /etc/kavo/projectord/hall-a.conf"
};

// The text of a URL with whatever stands between "//" and "@" after the
// first ":" replaced, so that a password is never shown, even in a URL that
// is not valid otherwise.
QString withoutPassword(const QString& url) {
    const qsizetype start = url.indexOf(QLatin1String("//"));
    const qsizetype at = url.lastIndexOf(QLatin1Char('@'));
    if (start < 0 || at < start)
        return url;
    const qsizetype colon = url.indexOf(QLatin1Char(':'), start + 2);
    if (colon < 0 || colon > at)
        return url;
    return url.left(colon + 1) + QStringLiteral("********") + url.mid(at);
}

ParsedOptions failure(const QString& message) {
    return {std::nullopt, message, kExitError};
}

// The configuration file's keys, each as a setting; an error names the key.
std::optional<QString> readConfig(const QString& path, QMap<QString, Setting>& settings) {
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("cannot read %1: no such file").arg(escapeControls(path));
    if (!info.isFile() || !info.isReadable())
        return QStringLiteral("cannot read %1: not a readable file").arg(escapeControls(path));
    QSettings file(path, QSettings::IniFormat);
    if (file.status() != QSettings::NoError)
        return QStringLiteral("cannot read %1: not an INI file").arg(escapeControls(path));
    for (const QString& key : file.allKeys()) {
        // Keys outside a section land in "General"; sections are not used.
        const QString bare = key.startsWith(QLatin1String("General/")) ? key.mid(8) : key;
        const auto known = std::ranges::find_if(
            kValueOptions, [&](const ValueOption& option) { return bare == option.name; });
        if (known == kValueOptions.end())
            return QStringLiteral("%1: unknown key \"%2\"")
                .arg(escapeControls(path), escapeControls(key));
        const QVariant value = file.value(key);
        // A value with a comma is read as a list: none of these takes one.
        if (value.typeId() != QMetaType::QString)
            return QStringLiteral("%1: \"%2\" holds a list; it takes one value")
                .arg(escapeControls(path), bare);
        settings.insert(
            bare, {value.toString(), QStringLiteral("%1 in %2").arg(bare, escapeControls(path))});
    }
    return std::nullopt;
}

QString defaultSocket(const QString& name, const QProcessEnvironment& environment) {
    // systemd may list several runtime folders; the unit's first is ours.
    const QString runtime =
        environment.value(QStringLiteral("RUNTIME_DIRECTORY")).section(QLatin1Char(':'), 0, 0);
    if (!runtime.isEmpty())
        return runtime + QLatin1Char('/') + name + QStringLiteral(".sock");
    const QString user = environment.value(QStringLiteral("XDG_RUNTIME_DIR"));
    if (!user.isEmpty())
        return user + QStringLiteral("/kavo/") + name + QStringLiteral(".sock");
    return {};
}

} // namespace

std::optional<ListenAddress> parseListenAddress(const QString& text) {
    static const QRegularExpression form(
        QStringLiteral("\\A(?:(\\[[0-9A-Fa-f:.]+\\]|[0-9.]+):)?([0-9]{1,5})\\z"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const int port = match.captured(2).toInt();
    if (port > 65535)
        return std::nullopt;
    QString host = match.captured(1);
    if (host.startsWith(QLatin1Char('[')))
        host = host.mid(1, host.size() - 2);
    ListenAddress listen;
    if (host.isEmpty())
        listen.address = QHostAddress(QHostAddress::LocalHost);
    else if (!listen.address.setAddress(host))
        return std::nullopt;
    listen.port = quint16(port);
    const QString shown = listen.address.protocol() == QAbstractSocket::IPv6Protocol
                              ? QLatin1Char('[') + listen.address.toString() + QLatin1Char(']')
                              : listen.address.toString();
    listen.text = shown + QLatin1Char(':') + QString::number(port);
    return listen;
}

std::optional<BrokerAddress> parseBrokerAddress(const QString& text, QString& error) {
    const QUrl url(text, QUrl::StrictMode);
    BrokerAddress broker;
    broker.tls = url.scheme() == QLatin1String("mqtts");
    if (!url.isValid() || (!broker.tls && url.scheme() != QLatin1String("mqtt")) ||
        url.host().isEmpty() || !url.path().isEmpty() || url.hasQuery() || url.hasFragment()) {
        error = QStringLiteral("mqtt://[USER@]HOST[:PORT] or mqtts://[USER@]HOST[:PORT]");
        return std::nullopt;
    }
    if (!url.password().isEmpty()) {
        error = QStringLiteral("an address without a password (give it with "
                               "--mqtt-password-file, where the process list does not show it)");
        return std::nullopt;
    }
    broker.user = url.userName();
    broker.host = url.host();
    broker.port = quint16(url.port(broker.tls ? 8883 : 1883));
    if (broker.port == 0) {
        error = QStringLiteral("a port from 1 to 65535");
        return std::nullopt;
    }
    return broker;
}

ParsedOptions parseServiceOptions(const QStringList& arguments,
                                  const QProcessEnvironment& environment) {
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    QList<QCommandLineOption> valueOptions;
    for (const ValueOption& option : kValueOptions)
        valueOptions.append(QCommandLineOption(QString::fromLatin1(option.name), {},
                                               QString::fromLatin1(option.valueName)));
    const QCommandLineOption config(QStringLiteral("config"), {}, QStringLiteral("FILE"));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    parser.addOptions(valueOptions);
    parser.addOptions({config, help, version});
    if (!parser.parse(arguments))
        return failure(parser.errorText() + QStringLiteral(" See kavo-projectord --help."));
    if (parser.isSet(help))
        return {std::nullopt, kHelp, 0};
    if (parser.isSet(version))
        return {std::nullopt,
                QStringLiteral("kavo-projectord %1\n").arg(QStringLiteral(KAVO_VERSION)), 0};
    if (!parser.positionalArguments().isEmpty())
        return failure(QStringLiteral("unexpected argument \"%1\"; see kavo-projectord --help")
                           .arg(escapeControls(parser.positionalArguments().constFirst())));

    QMap<QString, Setting> settings;
    if (parser.isSet(config)) {
        if (const auto error = readConfig(parser.value(config), settings))
            return failure(*error);
    }
    for (const QCommandLineOption& option : valueOptions) {
        const QString name = option.names().constFirst();
        if (parser.isSet(option))
            settings.insert(name, {parser.value(option), QStringLiteral("--") + name});
    }
    const auto take = [&](const char* key) { return settings.value(QLatin1String(key)); };
    const auto bad = [](const Setting& setting, const QString& wanted) {
        return failure(QStringLiteral("%1 takes %2, not \"%3\"")
                           .arg(setting.origin, wanted, escapeControls(setting.value)));
    };
    const auto number = [&](const char* key, int low, int high, int& out) -> bool {
        const Setting setting = take(key);
        if (setting.origin.isEmpty())
            return true;
        const auto value = wholeNumber(setting.value, low, high);
        if (value)
            out = *value;
        return value.has_value();
    };

    ServiceOptions options;
    const Setting device = take("device");
    const Setting port = take("port");
    if (!device.origin.isEmpty() && !port.origin.isEmpty())
        return failure(
            QStringLiteral("%1 and %2 cannot be given together").arg(device.origin, port.origin));
    if (device.origin.isEmpty() && port.origin.isEmpty())
        return failure(QStringLiteral("no line given: --device DEVICE or --port N; see "
                                      "kavo-projectord --help"));
    if (!device.origin.isEmpty()) {
        if (device.value.isEmpty())
            return bad(device, QStringLiteral("a device path, socket://HOST:PORT or unix:PATH"));
        options.device = device.value;
    } else if (!number("port", kLowestPort, kHighestPort, options.portNumber)) {
        return bad(
            port, QStringLiteral("a port number from %1 to %2").arg(kLowestPort).arg(kHighestPort));
    }

    options.baudCode = kBaud19200;
    if (const Setting baud = take("baud"); !baud.origin.isEmpty()) {
        if (baud.value == QLatin1String("9600"))
            options.baudCode = kBaud9600;
        else if (baud.value != QLatin1String("19200"))
            return bad(baud, QStringLiteral("9600 or 19200"));
    }
    if (const Setting name = take("name"); !name.origin.isEmpty()) {
        static const QRegularExpression plain(QStringLiteral("\\A[A-Za-z0-9_-]{1,64}\\z"));
        if (!plain.match(name.value).hasMatch())
            return bad(name, QStringLiteral("1 to 64 letters, digits, - and _"));
        options.name = name.value;
    }
    if (const Setting socket = take("socket"); !socket.origin.isEmpty()) {
        if (!socket.value.startsWith(QLatin1Char('/')))
            return bad(socket, QStringLiteral("an absolute path"));
        options.socketPath = socket.value;
    } else {
        options.socketPath = defaultSocket(options.name, environment);
        if (options.socketPath.isEmpty())
            return failure(QStringLiteral("neither RUNTIME_DIRECTORY nor XDG_RUNTIME_DIR is set: "
                                          "give the socket's path with --socket"));
    }
    if (const Setting listen = take("listen"); !listen.origin.isEmpty()) {
        options.listen = parseListenAddress(listen.value);
        if (!options.listen)
            return bad(listen, QStringLiteral("[ADDRESS:]PORT, an IP address and a port 0..65535"));
    }

    struct Span {
        const char* key;
        int low;
        int high;
        const char* unit;
    };
    int replyWindow = int(options.replyWindow.count());
    int queueWait = int(options.queueWait.count());
    int pollStatus = int(options.pollStatus.count());
    int pollOther = int(options.pollOther.count());
    int gap = int(options.gap.count());
    const std::array<std::pair<Span, int*>, 5> spans{{
        {{"reply-window", 1, 60000, "milliseconds"}, &replyWindow},
        {{"queue-wait", 1, 600000, "milliseconds"}, &queueWait},
        {{"poll-status", 1, 86400, "seconds"}, &pollStatus},
        {{"poll-other", 1, 86400, "seconds"}, &pollOther},
        {{"gap", 0, 10000, "milliseconds"}, &gap},
    }};
    for (const auto& [span, out] : spans) {
        if (!number(span.key, span.low, span.high, *out))
            return bad(take(span.key), QStringLiteral("%1 from %2 to %3")
                                           .arg(QLatin1String(span.unit))
                                           .arg(span.low)
                                           .arg(span.high));
    }
    options.replyWindow = std::chrono::milliseconds(replyWindow);
    options.queueWait = std::chrono::milliseconds(queueWait);
    options.pollStatus = std::chrono::seconds(pollStatus);
    options.pollOther = std::chrono::seconds(pollOther);
    options.gap = std::chrono::milliseconds(gap);
    options.journalFile = take("journal").value;
    if (const Setting journal = take("journal");
        !journal.origin.isEmpty() && journal.value.isEmpty())
        return bad(journal, QStringLiteral("a file name"));
    if (const Setting pjlink = take("pjlink"); !pjlink.origin.isEmpty()) {
        options.pjlink = parseListenAddress(pjlink.value);
        if (!options.pjlink)
            return bad(pjlink, QStringLiteral("[ADDRESS:]PORT, an IP address and a port 0..65535"));
    }
    const auto text = [&](const char* key, int longest, QString& out) {
        const Setting setting = take(key);
        if (setting.origin.isEmpty())
            return true;
        for (const QChar c : setting.value) {
            if (c.unicode() < 0x20 || c.unicode() == 0x7f)
                return false;
        }
        out = setting.value;
        return !out.isEmpty() && out.size() <= longest;
    };
    if (!text("pjlink-password-file", 4096, options.pjlinkPasswordFile))
        return bad(take("pjlink-password-file"), QStringLiteral("a file name"));
    if (!text("pjlink-name", 64, options.pjlinkName))
        return bad(take("pjlink-name"), QStringLiteral("1 to 64 printable characters"));
    if (!text("model", 32, options.model))
        return bad(take("model"), QStringLiteral("1 to 32 printable characters"));
    if (const Setting mqtt = take("mqtt"); !mqtt.origin.isEmpty()) {
        QString wanted;
        options.mqtt = parseBrokerAddress(mqtt.value, wanted);
        // A password in the address is never echoed (the error goes to the
        // system's journal): the value is shown without it.
        if (!options.mqtt)
            return bad({withoutPassword(mqtt.value), mqtt.origin}, wanted);
    }
    if (!text("mqtt-password-file", 4096, options.mqttPasswordFile))
        return bad(take("mqtt-password-file"), QStringLiteral("a file name"));
    if (!text("mqtt-ca", 4096, options.mqttCaFile))
        return bad(take("mqtt-ca"), QStringLiteral("a file name"));
    // Topic levels of plain characters: no wildcards, no empty level.
    static const QRegularExpression topic(QStringLiteral("\\A[A-Za-z0-9_-]+(/[A-Za-z0-9_-]+)*\\z"));
    if (const Setting base = take("mqtt-base"); !base.origin.isEmpty()) {
        if (!topic.match(base.value).hasMatch() || base.value.size() > 128)
            return bad(base, QStringLiteral("a topic of letters, digits, - and _ in levels "
                                            "parted by /"));
        options.mqttBase = base.value;
    }
    if (const Setting prefix = take("mqtt-discovery-prefix"); !prefix.origin.isEmpty()) {
        if (!prefix.value.isEmpty() &&
            (!topic.match(prefix.value).hasMatch() || prefix.value.size() > 128))
            return bad(prefix, QStringLiteral("a topic of letters, digits, - and _ in levels "
                                              "parted by /, or nothing"));
        options.mqttDiscoveryPrefix = prefix.value;
    }
    if (!options.mqtt && (!options.mqttPasswordFile.isEmpty() || !options.mqttCaFile.isEmpty()))
        return failure(QStringLiteral("--mqtt-password-file and --mqtt-ca need --mqtt"));
    if (options.mqtt && !options.mqttPasswordFile.isEmpty() && options.mqtt->user.isEmpty())
        return failure(QStringLiteral("--mqtt-password-file needs a user name in --mqtt "
                                      "(mqtt://USER@HOST)"));
    return {options, {}, 0};
}

} // namespace kavo::service
