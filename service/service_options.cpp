#include "service_options.h"

#include "alert_channels.h"
#include "broker_address.h"
#include "kavo_version.h"
#include "line_settings.h"
#include "option_table.h"
#include "port_paths.h"

#include <algorithm>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSettings>
#include <QUrl>
#ifdef Q_OS_WIN
#include "local_pipe.h"

#include <shlobj.h>
#endif

namespace kavo::service {
namespace {

constexpr int kExitError = 1;

// The options are written between these from the table.
const QString kUsage =
    QStringLiteral("Usage: kavo-projectord [OPTION...]\n"
                   "Owns one projector's serial line and shares it: every program that connects\n"
                   "to its socket is served as if the line were its own, one command at a time.\n"
                   "\n");
const QString kJournalAndExit =
    QStringLiteral("\n"
                   "The journal goes to standard output, one line an exchange or event.\n"
                   "Exit status: 0 stopped by SIGTERM, SIGINT or SIGHUP, or the accounts\n"
                   "changed; 1 a bad option or setting, or the socket cannot be served.\n"
                   "See kavo-projectord(8).\n");
constexpr int kHelpColumn = 22;

// The one option that takes a value and is no configuration key.
const QString kConfig = QStringLiteral("config");

// The web page's settings that only make sense together.
QString webProblem(const ServiceOptions& options) {
    const bool tls = !options.httpsCertFile.isEmpty() || !options.httpsKeyFile.isEmpty();
    if (!options.http) {
        if (tls || options.httpOpenOperator)
            return QStringLiteral("--https-cert, --https-key and --http-open-operator need --http");
        return {};
    }
    if (options.httpsCertFile.isEmpty() != options.httpsKeyFile.isEmpty())
        return QStringLiteral("--https-cert and --https-key go together");
    if (options.usersFile.isEmpty() && !options.http->address.isLoopback())
        return QStringLiteral("--http %1 is reachable from other machines: it needs --users FILE "
                              "(without accounts only loopback may use the page)")
            .arg(options.http->text);
    if (options.httpOpenOperator && !options.usersFile.isEmpty())
        return QStringLiteral("--http-open-operator is for a page without --users");
    return {};
}

ParsedOptions failure(const QString& message) {
    return {std::nullopt, message, kExitError};
}

#ifdef Q_OS_WIN
// The values of a configuration file's key = value lines as written. An INI
// file's reader takes a backslash as the start of an escape, which would
// turn C:\ProgramData\KAVO into C:rogramDataAVO; on Windows a backslash in
// a value is the path separator and stands for itself.
constexpr qint64 kMostConfigLine = 64 * 1024;

QHash<QString, QString> valuesAsWritten(const QString& path) {
    QHash<QString, QString> values;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return values;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine(kMostConfigLine)).trimmed();
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0 || line.startsWith(QLatin1Char('#')) || line.startsWith(QLatin1Char(';')))
            continue;
        QString value = line.mid(equals + 1).trimmed();
        if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) &&
            value.endsWith(QLatin1Char('"')))
            value = value.mid(1, value.size() - 2);
        values.insert(line.left(equals).trimmed(), value);
    }
    return values;
}
#endif

// The configuration file's keys, each as a value beneath the command line's;
// an error names the key.
std::optional<QString> readConfig(const QString& path, OptionReader& read) {
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("cannot read %1: no such file").arg(escapeControls(path));
    if (!info.isFile() || !info.isReadable())
        return QStringLiteral("cannot read %1: not a readable file").arg(escapeControls(path));
    QSettings file(path, QSettings::IniFormat);
    if (file.status() != QSettings::NoError)
        return QStringLiteral("cannot read %1: not an INI file").arg(escapeControls(path));
#ifdef Q_OS_WIN
    const QHash<QString, QString> writtenValues = valuesAsWritten(path);
#endif
    for (const QString& key : file.allKeys()) {
        // Keys outside a section land in "General"; sections are not used.
        const QString bare = key.startsWith(QLatin1String("General/")) ? key.mid(8) : key;
        // QSettings takes ';' alone for a comment and reads "#key = value" as
        // the key "#key": a key commented out with '#' is a comment too.
        if (bare.startsWith(QLatin1Char('#')))
            continue;
        const OptionRow* row = read.row(bare);
        // What changes the accounts and exits is for the command line alone.
        const bool action = bare == QLatin1String("add-user") ||
                            bare == QLatin1String("remove-user") || bare == QLatin1String("role");
        if (!row || row->valueName.isEmpty() || bare != row->names.constLast() || bare == kConfig ||
            action)
            return QStringLiteral("%1: unknown key \"%2\"")
                .arg(escapeControls(path), escapeControls(key));
        QVariant value = file.value(key);
        // A value with a comma is read as a list: only a repeated option takes one.
        if (row->repeated && value.typeId() == QMetaType::QStringList)
            value = value.toStringList().join(QLatin1Char(' '));
        if (value.typeId() != QMetaType::QString)
            return QStringLiteral("%1: \"%2\" holds a list; it takes one value")
                .arg(escapeControls(path), bare);
#ifdef Q_OS_WIN
        if (const QString written = writtenValues.value(bare); written.contains(QLatin1Char('\\')))
            value = written;
#endif
        read.addSetting(bare, value.toString(),
                        QStringLiteral("%1 in %2").arg(bare, escapeControls(path)));
    }
    return std::nullopt;
}

// Group names parted by blanks or commas, each once, in their order.
OptionCheck groupsInto(QStringList& target) {
    return [&target](const QString& text) -> std::optional<QString> {
        static const QRegularExpression parting(QStringLiteral("[\\s,]+"));
        QStringList groups;
        for (const QString& group : text.split(parting, Qt::SkipEmptyParts)) {
            if (!isGroupName(group))
                return QStringLiteral("group names of 1 to 64 letters, digits, ., - and _");
            if (!groups.contains(group))
                groups.append(group);
        }
        if (groups.isEmpty() || groups.size() > kMostGroups)
            return QStringLiteral("1 to %1 group names").arg(kMostGroups);
        target = groups;
        return std::nullopt;
    };
}

// A webhook's URL is shown without what may hold its token.
QString shownWebhookOption(QStringView value) {
    const QUrl url(value.toString());
    if (!url.isValid() || url.host().isEmpty())
        return QStringLiteral("(a URL that is not valid)");
    return escapeControls(shownWebhook(url) + QStringLiteral("/..."));
}

#ifdef Q_OS_WIN
// The clients' endpoint on Windows is a named pipe, which has a name of its
// own instead of a path.
constexpr char kSocketDefault[] = "\\\\.\\pipe\\kavo-projectord-NAME";
constexpr char kSocketForm[] =
    "a pipe name, \\\\.\\pipe\\ and 1 to 200 letters, digits, ., - and _";

bool isSocketPath(const QString& text) {
    static const QRegularExpression form(
        QStringLiteral("\\A\\\\\\\\\\.\\\\pipe\\\\[A-Za-z0-9._-]{1,200}\\z"));
    return form.match(text).hasMatch();
}

QString defaultSocket(const QString& name, const QProcessEnvironment&) {
    return QStringLiteral("\\\\.\\pipe\\kavo-projectord-") + name;
}
#else
constexpr char kSocketDefault[] = "$RUNTIME_DIRECTORY/NAME.sock under systemd, else "
                                  "$XDG_RUNTIME_DIR/kavo/NAME.sock";
constexpr char kSocketForm[] = "an absolute path";

bool isSocketPath(const QString& text) {
    return text.startsWith(QLatin1Char('/'));
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

#endif

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

bool isServiceName(QStringView text) {
    static const QRegularExpression plain(QStringLiteral("\\A[A-Za-z0-9_-]{1,64}\\z"));
    return plain.match(text).hasMatch();
}

bool isPublicUrl(const QString& text) {
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() && !url.host().isEmpty() && url.userInfo().isEmpty() &&
           text.size() <= 2048 &&
           (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"));
}

bool isGroupName(QStringView text) {
    static const QRegularExpression name(QStringLiteral("\\A[A-Za-z0-9._-]{1,64}\\z"));
    return name.match(text).hasMatch();
}

ParsedOptions parseServiceOptions(const QStringList& arguments,
                                  const QProcessEnvironment& environment,
                                  bool serviceManagerStarted) {
    const ServiceOptions defaults;
    ServiceOptions options;
    options.baudCode = kBaud19200;
    const auto number = [](qint64 value) { return QString::number(value); };
    const QString milliseconds = QStringLiteral("milliseconds");
    const QString seconds = QStringLiteral("seconds");
    const QString address = QStringLiteral("[ADDRESS:]PORT, an IP address and a port 0..65535");
    const auto listenInto = [&address](std::optional<ListenAddress>& target) {
        return [&address, &target](const QString& text) -> std::optional<QString> {
            target = parseListenAddress(text);
            return target ? std::nullopt : std::optional(address);
        };
    };
    OptionReader read(
        {
            {.names = {"device"},
             .valueName = "DEVICE",
             .help = "a device path, socket://HOST:PORT or unix:PATH",
             .check = [&](const QString& text) -> std::optional<QString> {
                 options.device = text;
                 if (text.isEmpty())
                     return QStringLiteral("a device path, socket://HOST:PORT or unix:PATH");
                 return std::nullopt;
             },
             .heading = "The line (one of --device and --port):"},
            {.names = {"port"},
             .valueName = "N",
             .help = QStringLiteral("COM port %1..%2, as the panel and kavoctl choose it")
                         .arg(kLowestPort)
                         .arg(kHighestPort),
             .check = numberInto("a port number", kLowestPort, kHighestPort, options.portNumber)},
            {.names = {"baud"},
             .valueName = "RATE",
             .help = "9600 or 19200",
             .byDefault = "19200",
             .check = choiceInto<std::uint8_t>({{"9600", kBaud9600}, {"19200", kBaud19200}},
                                               options.baudCode)},
            {.names = {"name"},
             .valueName = "NAME",
             .help = "letters, digits, - and _",
             .byDefault = defaults.name,
             .check = [&](const QString& text) -> std::optional<QString> {
                 if (!isServiceName(text))
                     return QStringLiteral("1 to 64 letters, digits, - and _");
                 options.name = text;
                 return std::nullopt;
             }},
            {.names = {"socket"},
             .valueName = "PATH",
             .help = "the clients' socket",
             .byDefault = kSocketDefault,
             .check = [&](const QString& text) -> std::optional<QString> {
                 if (!isSocketPath(text))
                     return QString::fromLatin1(kSocketForm);
                 options.socketPath = text;
                 return std::nullopt;
             },
             .heading = "Sharing it:"},
            {.names = {"pipe-users"},
             .valueName = "ACCOUNT",
#ifdef Q_OS_WIN
             .help = "who may use the pipe besides the administrators: an account or group "
                     "(LECTERN\\AV staff), or a SID",
             .byDefault = "Users",
#else
             .help = "Windows only (here the socket's mode and group decide)",
#endif
             .check = [&](const QString& text) -> std::optional<QString> {
#ifdef Q_OS_WIN
                 QString problem;
                 const std::optional<QString> sid = accountSid(text, &problem);
                 if (!sid)
                     return QStringLiteral("an account or group this PC knows, or a SID (%1)")
                         .arg(problem);
                 options.pipeUsers = *sid;
                 return std::nullopt;
#else
                 Q_UNUSED(text);
                 return QStringLiteral("a value on Windows only: here the socket's file mode and "
                                       "group decide who may connect");
#endif
             }},
            {.names = {"listen"},
             .valueName = "[ADDRESS:]PORT",
             .help = "also serve on TCP (address default 127.0.0.1; port 0: a free one, named "
                     "in the journal)",
             .check = listenInto(options.listen)},
            {.names = {"reply-window"},
             .valueName = "MS",
             .help = "how long a reply may take",
             .byDefault = number(defaults.replyWindow.count()),
             .check = numberInto(milliseconds, 1, 60000, options.replyWindow)},
            {.names = {"queue-wait"},
             .valueName = "MS",
             .help = "how long a command may wait for its turn",
             .byDefault = number(defaults.queueWait.count()),
             .check = numberInto(milliseconds, 1, 600000, options.queueWait)},
            {.names = {"poll-status"},
             .valueName = "S",
             .help = "the status read every S seconds",
             .byDefault = number(defaults.pollStatus.count()),
             .check = numberInto(seconds, 1, 86400, options.pollStatus),
             .heading = "Polling the projector's state:"},
            {.names = {"poll-other"},
             .valueName = "S",
             .help = "the other six reads every S seconds",
             .byDefault = number(defaults.pollOther.count()),
             .check = numberInto(seconds, 1, 86400, options.pollOther)},
            {.names = {"gap"},
             .valueName = "MS",
             .help = "the least pause before a poll after an exchange",
             .byDefault = number(defaults.gap.count()),
             .check = numberInto(milliseconds, 0, 10000, options.gap)},
            {.names = {"pjlink"},
             .valueName = "[ADDRESS:]PORT",
             .help = "answer as a PJLink projector (4352 is the standard port; address "
                     "default 127.0.0.1)",
             .check = listenInto(options.pjlink),
             .heading = "Control systems (PJLink):"},
            {.names = {"pjlink-password-file"},
             .valueName = "FILE",
             .help = "the PJLink password, the file's first line",
             .check = printableInto(4096, "a file name", options.pjlinkPasswordFile)},
            {.names = {"pjlink-name"},
             .valueName = "NAME",
             .help = "the projector's PJLink name",
             .byDefault = "the service's name",
             .check = printableInto(64, "1 to 64 printable characters", options.pjlinkName)},
            {.names = {"pjlink-class"},
             .valueName = "1|2",
             .help = "2 also answers searches, notifies and serves Class 2's requests",
             .byDefault = number(defaults.pjlinkClass),
             .check = numberInto(QStringLiteral("a PJLink class"), 1, 2, options.pjlinkClass)},
            {.names = {"pjlink-notify"},
             .valueName = "ADDRESS",
             .help = "the controller told of changes until one connects",
             .check = [&](const QString& text) -> std::optional<QString> {
                 const QHostAddress controller(text);
                 if (controller.isNull() || controller.isMulticast())
                     return QStringLiteral("an IP address");
                 options.pjlinkNotify = controller;
                 return std::nullopt;
             }},
            {.names = {"pjlink-serial"},
             .valueName = "TEXT",
             .help = "the serial number PJLink reports",
             .check = printableInto(32, "1 to 32 printable characters", options.pjlinkSerial)},
            {.names = {"model"},
             .valueName = "MODEL",
             .help = "the model PJLink and MQTT report",
             .byDefault = defaults.model,
             .check = printableInto(32, "1 to 32 printable characters", options.model)},
            {.names = {"mqtt"},
             .valueName = "URL",
             .help = "the broker, mqtt://[USER@]HOST[:PORT] or mqtts://...",
             .check = [&](const QString& text) -> std::optional<QString> {
                 QString wanted;
                 options.mqtt =
                     parseBrokerAddress(text, QStringLiteral("--mqtt-password-file"), wanted);
                 return options.mqtt ? std::nullopt : std::optional(wanted);
             },
             .heading = "Home automation (MQTT):",
             .shownAs = shownBroker},
            {.names = {"mqtt-password-file"},
             .valueName = "FILE",
             .help = "the broker password, the file's first line",
             .check = printableInto(4096, "a file name", options.mqttPasswordFile)},
            {.names = {"mqtt-ca"},
             .valueName = "FILE",
             .help = "with mqtts: the certificate authorities to trust",
             .check = printableInto(4096, "a file name", options.mqttCaFile)},
            {.names = {"mqtt-base"},
             .valueName = "TOPIC",
             .help = "topics under TOPIC/NAME/",
             .byDefault = defaults.mqttBase,
             .check = topicInto(false, options.mqttBase)},
            {.names = {"mqtt-discovery-prefix"},
             .valueName = "PREFIX",
             .help = "Home Assistant's discovery",
             .byDefault = defaults.mqttDiscoveryPrefix + QStringLiteral("; empty: none"),
             .check = topicInto(true, options.mqttDiscoveryPrefix)},
            {.names = {"group"},
             .valueName = "NAME",
             .help = "a group it belongs to (\"floor-2\"), announced on BASE/NAME/info; any "
                     "number; the config file's key takes them parted by blanks or commas",
             .check = groupsInto(options.groups),
             .repeated = true},
            {.names = {"public-url"},
             .valueName = "URL",
             .help = "its web page's http:// or https:// address, announced and given to Home "
                     "Assistant",
             .check = [&](const QString& text) -> std::optional<QString> {
                 if (!isPublicUrl(text))
                     return QStringLiteral("an http:// or https:// URL without a user");
                 options.publicUrl = text;
                 return std::nullopt;
             }},
            {.names = {"schedule"},
             .valueName = "FILE",
             .help = "run the entries of FILE (\"mon-fri 22:00 power off\" a line); "
                     "FILE.state beside it",
             .check = printableInto(4096, "a file name", options.scheduleFile),
             .heading = "Schedule:"},
            {.names = {"catch-up"},
             .valueName = "MINUTES",
             .help = "run what was missed while the service or the line was down if at most "
                     "this old",
             .byDefault = number(defaults.catchUp.count()),
             .check = numberInto(QStringLiteral("minutes"), 0, 1440, options.catchUp)},
            {.names = {"http"},
             .valueName = "[ADDRESS:]PORT",
             .help = "serve the web page and its API (address default 127.0.0.1)",
             .check = listenInto(options.http),
             .heading = "The web page:"},
            {.names = {"https-cert"},
             .valueName = "FILE",
             .help = "with --https-key: speak TLS on the --http port, this PEM "
                     "certificate (chain)",
             .check = printableInto(4096, "a file name", options.httpsCertFile)},
            {.names = {"https-key"},
             .valueName = "FILE",
             .help = "the certificate's PEM private key",
             .check = printableInto(4096, "a file name", options.httpsKeyFile)},
            {.names = {"description"},
             .valueName = "TEXT",
             .help = "where the projector is, shown on the page (\"Room 2.14\")",
             .check = printableInto(128, "1 to 128 printable characters", options.description)},
            {.names = {"http-open-operator"},
             .help = "without --users: loopback may also control, not only watch"},
            {.names = {"lamp-alert-hours"},
             .valueName = "N",
             .help = "alert when the lamp hours reach N",
             .check = numberInto("hours", 1, 100000, options.lampAlertHours),
             .heading = "Alerts:"},
            {.names = {"temperature-alert"},
             .valueName = "C",
             .help = "alert when a temperature passes C degrees Celsius",
             .check = numberInto("degrees", 1, 200, options.temperatureAlert)},
            {.names = {"line-alert-after"},
             .valueName = "S",
             .help = "alert when the line is lost for longer than S seconds",
             .byDefault = number(defaults.lineAlertAfter.count()),
             .check = numberInto(seconds, 1, 86400, options.lineAlertAfter)},
            {.names = {"alert-clear-after"},
             .valueName = "S",
             .help = "say an alert cleared once it has read clear for S seconds",
             .byDefault = number(defaults.alertClearAfter.count()),
             .check = numberInto(seconds, 1, 3600, options.alertClearAfter)},
            {.names = {"alert-command"},
             .valueName = "PROGRAM",
             .help = "run PROGRAM for each event (KAVO_EVENT ... and JSON on its input)",
             .check = printableInto(4096, "a program", options.alertCommand)},
            {.names = {"alert-command-timeout"},
             .valueName = "S",
             .help = "the program's time limit",
             .byDefault = number(defaults.alertCommandTimeout.count()),
             .check = numberInto(seconds, 1, 3600, options.alertCommandTimeout)},
            {.names = {"alert-webhook"},
             .valueName = "URL",
             .help = "POST each event's JSON to an http:// or https:// URL",
             .check = [&](const QString& text) -> std::optional<QString> {
                 const QUrl url(text, QUrl::StrictMode);
                 if (!url.isValid() || url.host().isEmpty() ||
                     (url.scheme() != QLatin1String("http") &&
                      url.scheme() != QLatin1String("https")))
                     return QStringLiteral("an http:// or https:// URL");
                 options.alertWebhook = text;
                 return std::nullopt;
             },
             .shownAs = shownWebhookOption},
            {.names = {"alert-webhook-secret-file"},
             .valueName = "FILE",
             .help = "sign the webhook's requests with the file's first line",
             .check = printableInto(4096, "a file name", options.alertWebhookSecretFile)},
            {.names = {"alert-mail"},
             .valueName = "ADDRESS",
             .help = "mail each event to ADDRESS through sendmail -t",
             .check = [&](const QString& text) -> std::optional<QString> {
                 static const QRegularExpression address(QStringLiteral(
                     "\\A[^\\s@<>,;\"()\\\\-][^\\s@<>,;\"()\\\\]*@[^\\s@<>,;\"()\\\\]+\\z"));
                 const bool controls = std::ranges::any_of(
                     text, [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
                 if (controls || text.size() > 254 || !address.match(text).hasMatch())
                     return QStringLiteral("one mail address, NAME@DOMAIN");
#ifdef Q_OS_WIN
                 // Windows has no sendmail program to hand mail to.
                 return QStringLiteral("not available on Windows yet (mail goes through a "
                                       "sendmail program); use --alert-command or "
                                       "--alert-webhook");
#endif
                 options.alertMail = text;
                 return std::nullopt;
             }},
            {.names = {"users"},
             .valueName = "FILE",
             .help = "accounts for signing in, NAME:ROLE:HASH a line",
             .check = printableInto(4096, "a file name", options.usersFile),
             .heading = "Accounts (--add-user and --remove-user change FILE and exit):"},
            {.names = {"add-user"},
             .valueName = "NAME",
             .help = "add NAME, or give it --role and a new password (one line from the "
                     "terminal or standard input)",
             .check = [&](const QString& text) -> std::optional<QString> {
                 options.addUser = text;
                 if (!isAccountName(text))
                     return QStringLiteral("1 to 64 letters, digits, ., - and _");
                 return std::nullopt;
             }},
            {.names = {"role"},
             .valueName = "ROLE",
             .help = "viewer, operator or admin",
             .check = [&](const QString& text) -> std::optional<QString> {
                 options.role = roleOf(text);
                 if (!options.role)
                     return QStringLiteral("viewer, operator or admin");
                 return std::nullopt;
             }},
            {.names = {"remove-user"},
             .valueName = "NAME",
             .help = "remove NAME's account",
             .check = printableInto(64, "an account's name", options.removeUser)},
            {.names = {"journal"},
             .valueName = "FILE",
             .help = "also append the journal to FILE (rotated at 10 MB, three kept)",
             .check = [&](const QString& text) -> std::optional<QString> {
                 options.journalFile = text;
                 if (text.isEmpty())
                     return QStringLiteral("a file name");
                 return std::nullopt;
             },
             .heading = "Running it:"},
            {.names = {kConfig},
             .valueName = "FILE",
             .help = "an INI file whose keys are these options' names"},
            {.names = {"foreground"},
#ifdef Q_OS_WIN
             .help = "run in the console, not as a service of the service control manager"},
#else
             .help = "run in the foreground, as it always does here (under systemd too)"},
#endif
            {.names = {"h", "help"}, .help = "this help"},
            {.names = {"version"}, .help = "the version"},
        },
        {.shownAs = escapeControls, .singleDash = QCommandLineParser::ParseAsLongOptions});

    if (!read.parse(arguments))
        return failure(read.errorText() + QStringLiteral(" See kavo-projectord --help."));
    if (read.isSet(QStringLiteral("help")))
        return {std::nullopt, kUsage + read.help(kHelpColumn) + kJournalAndExit, 0};
    if (read.isSet(QStringLiteral("version")))
        return {std::nullopt,
                QStringLiteral("kavo-projectord %1\n").arg(QStringLiteral(KAVO_VERSION)), 0};
    if (!read.positionalArguments().isEmpty())
        return failure(QStringLiteral("unexpected argument \"%1\"; see kavo-projectord --help")
                           .arg(escapeControls(read.positionalArguments().constFirst())));
    if (read.isSet(kConfig)) {
        options.configFile = read.value(kConfig);
    } else if (serviceManagerStarted) {
        // The name that picks the file is the command line's.
        const QString name =
            read.isSet(QStringLiteral("name")) ? read.value(QStringLiteral("name")) : defaults.name;
        if (isServiceName(name) && QFileInfo::exists(serviceConfigFile(name)))
            options.configFile = serviceConfigFile(name);
    }
    if (!options.configFile.isEmpty()) {
        if (const auto error = readConfig(options.configFile, read))
            return failure(*error);
    }
    options.foreground = read.isSet(QStringLiteral("foreground"));

    // Changing the accounts needs no line.
    if (read.isSet(QStringLiteral("add-user")) || read.isSet(QStringLiteral("remove-user"))) {
        if (!read.readValues())
            return failure(read.error());
        if (!options.addUser.isEmpty() && !options.removeUser.isEmpty())
            return failure(QStringLiteral("--add-user and --remove-user cannot be given together"));
        if (options.usersFile.isEmpty())
            return failure(QStringLiteral("--add-user and --remove-user need --users FILE"));
        if (!options.addUser.isEmpty() && !options.role)
            return failure(QStringLiteral("--add-user needs --role viewer, operator or admin"));
        return {options, {}, 0};
    }
    if (read.isSet(QStringLiteral("role")))
        return failure(QStringLiteral("--role goes with --add-user"));
    const QString device = read.origin(QStringLiteral("device"));
    const QString port = read.origin(QStringLiteral("port"));
    if (!device.isEmpty() && !port.isEmpty())
        return failure(QStringLiteral("%1 and %2 cannot be given together").arg(device, port));
    if (device.isEmpty() && port.isEmpty())
        return failure(QStringLiteral("no line given: --device DEVICE or --port N; see "
                                      "kavo-projectord --help"));
    if (!read.readValues())
        return failure(read.error());
    if (options.socketPath.isEmpty()) {
        options.socketPath = defaultSocket(options.name, environment);
        if (options.socketPath.isEmpty())
            return failure(QStringLiteral("neither RUNTIME_DIRECTORY nor XDG_RUNTIME_DIR is set: "
                                          "give the socket's path with --socket"));
    }
    options.httpOpenOperator = read.isSet(QStringLiteral("http-open-operator"));
    if (const QString web = webProblem(options); !web.isEmpty())
        return failure(web);
    if (!options.alertWebhookSecretFile.isEmpty() && options.alertWebhook.isEmpty())
        return failure(QStringLiteral("--alert-webhook-secret-file needs --alert-webhook"));
    if (read.isSet(QStringLiteral("catch-up")) && options.scheduleFile.isEmpty())
        return failure(QStringLiteral("--catch-up needs --schedule"));
    // Levels under the base that start with "_" are the broker's own, such
    // as where services send their answers to requests.
    if (options.mqtt && options.name.startsWith(QLatin1Char('_')))
        return failure(QStringLiteral("--name: with --mqtt a name cannot start with \"_\" "
                                      "(those topics are kept for requests' answers)"));
    if (!options.mqtt && (!options.groups.isEmpty() || !options.publicUrl.isEmpty()))
        return failure(QStringLiteral("--group and --public-url need --mqtt"));
    if (!options.mqtt && (!options.mqttPasswordFile.isEmpty() || !options.mqttCaFile.isEmpty()))
        return failure(QStringLiteral("--mqtt-password-file and --mqtt-ca need --mqtt"));
    if (options.mqtt && !options.mqttPasswordFile.isEmpty() && options.mqtt->user.isEmpty())
        return failure(QStringLiteral("--mqtt-password-file needs a user name in --mqtt "
                                      "(mqtt://USER@HOST)"));
    return {options, {}, 0};
}

QString serviceConfigFile(const QString& name) {
#ifdef Q_OS_WIN
    // The known folder, not %ProgramData%: a service's environment need not
    // say where it is (Wine's services are told C:\users\Public).
    PWSTR folder = nullptr;
    QString data = QStringLiteral("C:\\ProgramData");
    if (::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &folder) == S_OK)
        data = QString::fromWCharArray(folder);
    ::CoTaskMemFree(folder);
    return data + QStringLiteral("\\KAVO\\projectord\\") + name + QStringLiteral(".conf");
#else
    Q_UNUSED(name);
    return {};
#endif
}

} // namespace kavo::service
