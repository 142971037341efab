#pragma once

// kavo-projectord's settings: options on the command line, or the same names
// as keys of an INI file given with --config (options win). Every value is
// checked here; a wrong one is an error that names its option or key.

#include "accounts.h"
#include "broker_address.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <QHostAddress>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace kavo::service {

struct ListenAddress {
    QHostAddress address;
    quint16 port = 0;
    QString text; // as the operator reads it: 127.0.0.1:4001, [::1]:4001
};

struct ServiceOptions {
    QString device;     // --device: a path, socket://HOST:PORT or unix:PATH
    int portNumber = 0; // --port, when no device is given
    std::uint8_t baudCode = 0;
    QString name = QStringLiteral("projector");
    QString socketPath;
    // Windows: the SID of the users the pipe is open to besides the
    // administrators; the PC's users (BUILTIN\Users) unless set.
    QString pipeUsers = QStringLiteral("S-1-5-32-545");
    std::optional<ListenAddress> listen;
    std::chrono::milliseconds replyWindow{1000};
    std::chrono::milliseconds queueWait{3000};
    std::chrono::seconds pollStatus{30};
    std::chrono::seconds pollOther{300};
    std::chrono::milliseconds gap{20};
    QString journalFile;
    QString configFile; // --config, empty when none was given
    // Not a service of Windows' service control manager even when it could
    // be one; elsewhere the program always runs in the foreground.
    bool foreground = false;
    // PJLink: off unless an address is given.
    std::optional<ListenAddress> pjlink;
    QString pjlinkPasswordFile;
    QString pjlinkName; // empty: the service's name
    QString model = QStringLiteral("QV-TN310");
    // PJLink Class 2: searches, notifications and the Class 2 requests.
    int pjlinkClass = 2;
    std::optional<QHostAddress> pjlinkNotify;
    QString pjlinkSerial; // empty: SNUM ? is ERR1
    // MQTT: off unless a broker is given.
    std::optional<BrokerAddress> mqtt;
    QString mqttCaFile;
    QString mqttPasswordFile;
    QString mqttBase = QStringLiteral("kavo");
    QString mqttDiscoveryPrefix = QStringLiteral("homeassistant"); // empty: no discovery
    // Announced on BASE/NAME/info: the groups it belongs to and its page's address.
    QStringList groups;
    QString publicUrl;
    // The schedule: off unless a file is given.
    QString scheduleFile;
    std::chrono::minutes catchUp{15};
    // The web page: off unless an address is given; TLS with a certificate.
    std::optional<ListenAddress> http;
    QString httpsCertFile;
    QString httpsKeyFile;
    QString description;
    bool httpOpenOperator = false;
    // Alerts: the levels that raise them (none without), the line's grace,
    // and the channels they go to (none without).
    std::optional<int> lampAlertHours;
    std::optional<int> temperatureAlert; // degrees Celsius
    std::chrono::seconds lineAlertAfter{60};
    std::chrono::seconds alertClearAfter{120};
    QString alertCommand;
    std::chrono::seconds alertCommandTimeout{30};
    QString alertWebhook;
    QString alertWebhookSecretFile;
    QString alertMail;
    // The web page's accounts; --add-user or --remove-user change them and exit.
    QString usersFile;
    QString addUser;
    QString removeUser;
    std::optional<Role> role;
};

// A service's name: 1 to 64 letters, digits, - and _.
bool isServiceName(QStringView text);
// An http:// or https:// URL with a host and no user, at most 2048 characters.
bool isPublicUrl(const QString& text);
// A group's name: 1 to 64 letters, digits, '-', '_' and '.'.
bool isGroupName(QStringView text);
// The groups a projector may belong to.
inline constexpr qsizetype kMostGroups = 32;

struct ParsedOptions {
    std::optional<ServiceOptions> options; // empty: print `text`, leave with `exitCode`
    QString text;                          // help or version (stdout), or the error (stderr)
    int exitCode = 0;
};

// arguments[0] is the program name. The environment gives the default socket:
// $RUNTIME_DIRECTORY/NAME.sock under systemd, else $XDG_RUNTIME_DIR/kavo/NAME.sock.
// A service that Windows' service control manager started reads, when no
// --config is given, serviceConfigFile(NAME) if it is there.
ParsedOptions parseServiceOptions(const QStringList& arguments,
                                  const QProcessEnvironment& environment,
                                  bool serviceManagerStarted = false);

// Where a service that Windows' service control manager starts finds its
// configuration: %ProgramData%\KAVO\projectord\NAME.conf, its journal and
// state beside it.
// Empty elsewhere.
QString serviceConfigFile(const QString& name);

// [ADDRESS:]PORT, 127.0.0.1 when no address is given; IPv6 in brackets.
// Port 0 stands for a free port, chosen when listening.
std::optional<ListenAddress> parseListenAddress(const QString& text);

} // namespace kavo::service
