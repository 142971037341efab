#pragma once

// The simulator's command line.

#include "projector_model.h"
#include "reply_shaper.h"

#include <optional>
#include <QHostAddress>
#include <QString>
#include <QStringList>

namespace kavo::sim {

// Where --listen serves the projector over TCP instead of a pseudo-terminal.
struct ListenAddress {
    QHostAddress address{QHostAddress::LocalHost};
    quint16 port = 0; // 0: any free port
};

struct Options {
    int port = 1;
    std::optional<ListenAddress> listen;
    quint32 seed = 0;
    ModelSettings model;
    FaultSettings faults;
    int floodPerSecond = 0;
    std::optional<milliseconds> hangUpAfter;
};

struct ParsedOptions {
    std::optional<Options> options; // empty: print `message` and leave with `exitCode`
    QString message;
    int exitCode = 0;
};

ParsedOptions parseOptions(const QStringList& arguments);

// [ADDRESS:]PORT, the address 127.0.0.1 unless given; IPv6 in brackets.
std::optional<ListenAddress> readListenAddress(const QString& text);

// One line naming the faults in force, empty when there are none.
QString describeFaults(const Options& options);

} // namespace kavo::sim
