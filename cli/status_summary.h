#pragma once

// kavoctl status in a few lines for a person: power, input, the lamp, the
// temperatures and the projector's errors, from a state object as
// ProjectorState::toJson() writes it. With `now`, each reading shows its age
// (a service's state, read before the question was asked).

#include <optional>
#include <QDateTime>
#include <QJsonObject>
#include <QStringList>

namespace kavo::cli {

QStringList statusSummary(const QJsonObject& state, const std::optional<QDateTime>& now);

// The same as fields for --json: power, input, lamp_hours, lamp_mode,
// lamp_status, temperatures_c, errors (a list of words, empty when none).
QJsonObject statusSummaryJson(const QJsonObject& state);

} // namespace kavo::cli
