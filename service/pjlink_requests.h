#pragma once

// PJLink's requests (Class 1, and Class 2's when the service answers as a
// Class 2 projector) as a table of handlers: each a function of its
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
    // The projector has no freeze read: the last freeze set by anyone.
    std::optional<bool> frozen;
    int pjlinkClass = 1;  // what CLSS ? answers; 1 knows no "%2" request
    QString serialNumber; // SNUM ?, empty: none configured
};

struct PjlinkDecision {
    QByteArray result = "OK";      // the answer, unless reads or commands come first
    std::vector<StateField> reads; // to be read first, then decided again
    QStringList commands;          // to be sent, each to be acknowledged, then "OK"
};

// "POWR" and "1", "?" ..., sent with "%1" or "%2" (`header`). A command not
// in the table, or not of that class, is ERR1.
PjlinkDecision decidePjlink(const QByteArray& command, const QByteArray& parameter,
                            const PjlinkFacts& facts, char header = '1');
bool knownPjlinkRequest(const QByteArray& command, char header = '1', int pjlinkClass = 1);

// What a Class 2 status notification says of `command` (POWR, INPT, ERST)
// from what is known now, however old; nothing when that is not known.
std::optional<QByteArray> pjlinkStatus(const QByteArray& command, const PjlinkFacts& facts);

} // namespace kavo::service
