#pragma once

// The simulator's command line.

#include "projector_model.h"
#include "reply_shaper.h"

#include <optional>
#include <QString>
#include <QStringList>

namespace kavo::sim {

struct Options {
    int port = 1;
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

// One line naming the faults in force, empty when there are none.
QString describeFaults(const Options& options);

} // namespace kavo::sim
