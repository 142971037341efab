#pragma once

// What is known of the projector, from the replies to its status reads: the
// power state, the input, the lamp hours, the three temperatures, the lamp
// mode and status and the picture setting, each with the time it was read.
// Values are words and numbers for programs ("warming_up", 1234, [31.5, ...]);
// what was never read (or only read as something undecodable) is null.

#include "exchanger.h"

#include <array>
#include <chrono>
#include <optional>
#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

namespace kavo {

enum class StateField {
    Power,
    Input,
    LampHours,
    Temperatures,
    LampMode,
    LampStatus,
    Setting,
};
inline constexpr std::size_t kStateFieldCount = 7;

// "power", "input", "lamp_hours", "temperatures_c", "lamp_mode",
// "lamp_status", "setting".
QString stateFieldName(StateField field);

// The status read that reads the field: "CR0" for the power state ...
QString readCommand(StateField field);

enum class PowerState;

class ProjectorState {
  public:
    // Takes in an answered status read; returns the field it set, if its
    // value changed. Other exchanges change nothing.
    std::optional<StateField> update(const Exchange& exchange, const QDateTime& readAt);

    // Keeps every value but makes none current: a command may have changed
    // what was read.
    void markStale();
    // Every value unknown again (the line to the projector is gone).
    void forget() { m_readings = {}; }
    // Whether the field was read no longer than maxAge before now, and no
    // command has come since.
    bool isCurrent(StateField field, std::chrono::milliseconds maxAge, const QDateTime& now) const;

    QJsonValue value(StateField field) const;
    QDateTime readAt(StateField field) const;
    // The power state, Unknown when it was never read (or not since the line
    // was lost).
    PowerState power() const;

    // Every field's value (null when unknown), and "read_at": each field's
    // time of reading as ISO 8601 UTC with milliseconds (null when unknown).
    QJsonObject toJson() const;

  private:
    struct Reading {
        QJsonValue value = QJsonValue::Null;
        QDateTime readAt;
        bool stale = false;
    };
    std::array<Reading, kStateFieldCount> m_readings;
};

} // namespace kavo
