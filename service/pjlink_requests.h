#pragma once

// PJLink Class 1's requests as a table of handlers: each a function of its
// parameter and of what the service knows of the projector, answering with
// the result, or with the readings it needs first, or with the commands that
// carry it out. The connection code (pjlink_server.cpp) knows nothing of the
// requests.

#include "projector_state.h"

#include <chrono>
#include <functional>
#include <optional>
#include <QByteArray>
#include <QDateTime>
#include <QStringList>
#include <vector>

namespace kavo::service {

// What the service knows, as a request sees it.
struct PjlinkFacts {
    const ProjectorState& state;
    bool lineOpen = true;
    // How old a reading may be to count as current.
    std::function<std::chrono::milliseconds(StateField)> freshFor;
    QDateTime now;
    // What was read from then on counts as current whatever came between
    // (read for this request); invalid when nothing was.
    QDateTime readSince;
    // The projector has no mute read: the last mute set by anyone.
    std::optional<bool> videoMuted;
    std::optional<bool> audioMuted;
    QString projectorName; // NAME ?
    QString model;         // INF2 ?
};

struct PjlinkDecision {
    QByteArray result = "OK";      // the answer, unless reads or commands come first
    std::vector<StateField> reads; // to be read first, then decided again
    QStringList commands;          // to be sent, each to be acknowledged, then "OK"
};

// "POWR" and "1", "?" ... A command not in the table is ERR1.
PjlinkDecision decidePjlink(const QByteArray& command, const QByteArray& parameter,
                            const PjlinkFacts& facts);
bool knownPjlinkRequest(const QByteArray& command);

} // namespace kavo::service
