#include "status_summary.h"

#include "projector_state.h"
#include "projector_vocabulary.h"

#include <QJsonArray>

namespace kavo::cli {
namespace {

QString field(StateField which) {
    return stateFieldName(which);
}

// A word of the state for a person: "warming up", "input 1".
QString shown(const QJsonValue& value) {
    return value.toString().replace(QLatin1Char('_'), QLatin1Char(' '));
}

QJsonArray errorsOf(const QJsonObject& state) {
    QJsonArray errors;
    const PowerState power = powerStateOf(state.value(field(StateField::Power)).toString());
    if (isFault(power))
        errors.append(powerWord(power));
    if (state.value(field(StateField::LampStatus)).toString() == QLatin1String("failure") &&
        power != PowerState::LampFailure)
        errors.append(QStringLiteral("lamp_failure"));
    return errors;
}

} // namespace

QStringList statusSummary(const QJsonObject& state, const std::optional<QDateTime>& now) {
    const QJsonObject readAt = state.value(QStringLiteral("read_at")).toObject();
    // "(12 s ago)" after a reading of the service's, for the oldest it stands on.
    const auto age = [&](std::initializer_list<StateField> fields) -> QString {
        if (!now)
            return {};
        qint64 oldest = -1;
        for (const StateField which : fields) {
            const QDateTime at =
                QDateTime::fromString(readAt.value(field(which)).toString(), Qt::ISODateWithMs);
            if (at.isValid())
                oldest = std::max(oldest, std::max<qint64>(0, at.secsTo(*now)));
        }
        return oldest < 0 ? QString() : QStringLiteral(" (%1 s ago)").arg(oldest);
    };
    const auto value = [&](StateField which) { return state.value(field(which)); };
    const QString unknown = QStringLiteral("not known");
    QStringList lines;
    lines << QStringLiteral("power: %1%2")
                 .arg(value(StateField::Power).isString() ? shown(value(StateField::Power))
                                                          : unknown,
                      age({StateField::Power}));
    lines << QStringLiteral("input: %1%2")
                 .arg(value(StateField::Input).isString() ? shown(value(StateField::Input))
                                                          : unknown,
                      age({StateField::Input}));
    QStringList lamp;
    if (value(StateField::LampHours).isDouble())
        lamp << QStringLiteral("%1 hours").arg(value(StateField::LampHours).toInt());
    if (value(StateField::LampMode).isString())
        lamp << QStringLiteral("mode %1").arg(shown(value(StateField::LampMode)));
    if (value(StateField::LampStatus).isString())
        lamp << shown(value(StateField::LampStatus));
    lines << QStringLiteral("lamp: %1%2")
                 .arg(lamp.isEmpty() ? unknown : lamp.join(QStringLiteral(", ")),
                      age({StateField::LampHours, StateField::LampMode, StateField::LampStatus}));
    QStringList degrees;
    for (const QJsonValue& each : value(StateField::Temperatures).toArray())
        degrees << QString::number(each.toDouble(), 'f', 1);
    lines << QStringLiteral("temperatures: %1%2")
                 .arg(degrees.isEmpty()
                          ? unknown
                          : degrees.join(QStringLiteral(", ")) + QStringLiteral(" \u00b0C"),
                      age({StateField::Temperatures}));
    QStringList errors;
    for (const QJsonValue& error : errorsOf(state))
        errors << shown(error);
    lines << QStringLiteral("errors: %1")
                 .arg(!value(StateField::Power).isString() ? unknown
                      : errors.isEmpty()                   ? QStringLiteral("none")
                                                           : errors.join(QStringLiteral(", ")));
    return lines;
}

QJsonObject statusSummaryJson(const QJsonObject& state) {
    QJsonObject summary;
    for (const StateField which :
         {StateField::Power, StateField::Input, StateField::LampHours, StateField::LampMode,
          StateField::LampStatus, StateField::Temperatures})
        summary.insert(field(which), state.value(field(which)));
    summary.insert(QStringLiteral("errors"), state.value(field(StateField::Power)).isString()
                                                 ? QJsonValue(errorsOf(state))
                                                 : QJsonValue());
    return summary;
}

} // namespace kavo::cli
