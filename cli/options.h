#pragma once

// kavoctl's command line: a subcommand first (send, status, list, ports, schedule, or
// one of the projector's verbs: power, input, mute, freeze, lamp, lamp-mode,
// volume, or alerts), then its arguments, with options anywhere before a "--".

#include "broker_address.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <QString>
#include <QStringList>

namespace kavo::cli {

enum class Subcommand {
    Send,
    Status,
    List,
    Ports,
    Act,      // a verb: the commands of its action (power off, input 2, volume up 3 ...)
    Lamp,     // the lamp reads
    Alerts,   // a sharing service's open alerts and last events
    Schedule, // a sharing service's schedule and its next runs
};

// How long power on|off --wait waits at most, unless it names the seconds.
inline constexpr std::chrono::seconds kDefaultPowerWait{300};
inline constexpr std::chrono::seconds kLongestPowerWait{3600};

struct Invocation {
    Subcommand subcommand = Subcommand::Send;
    std::optional<int> port;                 // --port, else the panel's stored port
    std::optional<std::uint8_t> baudCode;    // --baud, else the panel's stored code
    QString device;                          // --device: a path instead of a port number
    std::chrono::milliseconds replyWindow{}; // --timeout
    bool json = false;
    bool quiet = false;
    QStringList arguments; // the commands of send and of a verb, the words of list, the names
                           // of status and of a verb with --broker
    QString verb;          // the action a verb names ("power off"), for messages
    // power on|off --wait: managed power, waiting at most this long; a verb
    // with --broker: each projector's result, waited for this long.
    std::optional<std::chrono::seconds> powerWait;
    // --broker: list, status NAME... and the verbs for the projectors that
    // services announce on an MQTT broker, under --base.
    std::optional<BrokerAddress> broker;
    QString brokerPasswordFile;
    QString brokerCa;
    QString base = QStringLiteral("kavo");
    QString group; // status and the verbs: --group
};

struct ParsedArguments {
    std::optional<Invocation> invocation; // empty: print `text` and leave with `exitCode`
    QString text;                         // help or version (stdout), or one line of error
    int exitCode = 0;
};

// arguments[0] is the program name.
ParsedArguments parseArguments(const QStringList& arguments);

} // namespace kavo::cli
