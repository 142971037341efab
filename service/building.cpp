#include "building.h"

#include "kavo_version.h"
#include "port_paths.h"
#include "service_options.h"

#include <QJsonDocument>

namespace kavo::service {
namespace {

const QString kWho = QStringLiteral("mqtt");
constexpr qsizetype kLongestDescription = 128;

QJsonValue stringOrNull(const QJsonValue& value) {
    return value.isString() ? value : QJsonValue();
}

} // namespace

Building::Building(Journal& journal, QString base, QString self, Clock clock)
    : m_journal(journal), m_base(std::move(base)), m_self(std::move(self)),
      m_clock(std::move(clock)) {}

QStringList Building::topicFilters() const {
    QStringList filters;
    for (const char* leaf : {"info", "availability", "state"})
        filters.append(m_base + QStringLiteral("/+/") + QLatin1String(leaf));
    return filters;
}

bool Building::take(const QString& topic, const QByteArray& payload) {
    if (!topic.startsWith(m_base + QLatin1Char('/')))
        return false;
    const QStringList levels = topic.mid(m_base.size() + 1).split(QLatin1Char('/'));
    if (levels.size() != 2)
        return false;
    const QString& name = levels[0];
    const QString& leaf = levels[1];
    if (leaf != QLatin1String("info") && leaf != QLatin1String("availability") &&
        leaf != QLatin1String("state"))
        return false;
    if (!isServiceName(name) || name.startsWith(QLatin1Char('_'))) {
        ignore(topic, QStringLiteral("not a projector's name"));
        return true;
    }
    if (payload.size() > kLargestPayload) {
        ignore(topic, QStringLiteral("larger than %1 bytes").arg(kLargestPayload));
        return true;
    }
    bool changed = false;
    if (leaf == QLatin1String("info")) {
        changed = takeInfo(name, payload);
    } else if (const auto row = m_rows.find(name); row != m_rows.end()) {
        // Until it announces itself (again), a projector is not in the building.
        if (leaf == QLatin1String("state")) {
            changed = takeState(row->second, payload);
            if (!changed)
                ignore(topic, QStringLiteral("not a JSON object"));
        } else if (payload.isEmpty() || payload == "online" || payload == "offline") {
            row->second.availability =
                payload.isEmpty() ? QJsonValue() : QJsonValue(QString::fromLatin1(payload));
            changed = true;
        } else {
            ignore(topic, QStringLiteral("neither online nor offline"));
        }
        if (changed)
            row->second.lastSeen = m_clock();
    }
    if (changed && m_changed)
        m_changed();
    return true;
}

bool Building::takeInfo(const QString& name, const QByteArray& payload) {
    const QString topic = m_base + QLatin1Char('/') + name + QStringLiteral("/info");
    if (payload.isEmpty())
        return m_rows.erase(name) > 0;
    const QJsonObject info = QJsonDocument::fromJson(payload).object();
    const QJsonValue description = info.value(QStringLiteral("description"));
    const QJsonValue groups = info.value(QStringLiteral("groups"));
    const QJsonValue url = info.value(QStringLiteral("url"));
    BuildingRow row;
    for (const QJsonValue& group : groups.toArray()) {
        if (!isGroupName(group.toString()))
            break;
        row.groups.append(group.toString());
    }
    QString problem;
    if (info.value(QStringLiteral("name")) != name)
        problem = QStringLiteral("not a JSON object with the topic's name");
    else if (!description.isString() || description.toString().size() > kLongestDescription)
        problem =
            QStringLiteral("no description of at most %1 characters").arg(kLongestDescription);
    else if (!groups.isArray() || row.groups.size() != groups.toArray().size() ||
             row.groups.size() > kMostGroups)
        problem = QStringLiteral("groups are not a list of group names");
    else if (!url.isNull() && !isPublicUrl(url.toString()))
        problem = QStringLiteral("the url is neither null nor an http or https URL");
    else if (!m_rows.contains(name) && m_rows.size() >= kMostProjectors)
        problem = QStringLiteral("the building holds %1 projectors already").arg(kMostProjectors);
    if (!problem.isEmpty()) {
        ignore(topic, problem);
        return false;
    }
    BuildingRow& kept = m_rows[name];
    kept.description = description.toString();
    kept.groups = row.groups;
    kept.url = url.isString() ? url : QJsonValue();
    kept.alerts = info.value(QStringLiteral("alerts")).toArray();
    kept.model = info.value(QStringLiteral("model")).toString();
    kept.version = info.value(QStringLiteral("version")).toString();
    const QJsonValue alertHours = info.value(QStringLiteral("lamp_alert_hours"));
    kept.lampAlertHours =
        alertHours.isDouble() && alertHours.toDouble() > 0 ? alertHours : QJsonValue();
    kept.lastSeen = m_clock();
    return true;
}

bool Building::takeState(BuildingRow& row, const QByteArray& payload) {
    const QJsonDocument document = QJsonDocument::fromJson(payload);
    if (!payload.isEmpty() && !document.isObject())
        return false;
    const QJsonObject state = document.object();
    const QJsonValue hours = state.value(QStringLiteral("lamp_hours"));
    row.power = stringOrNull(state.value(QStringLiteral("power")));
    row.input = stringOrNull(state.value(QStringLiteral("input")));
    row.lampHours = hours.isDouble() ? hours : QJsonValue();
    return true;
}

void Building::ignore(const QString& topic, const QString& why) {
    const QString shown = escapeControls(topic.left(200));
    m_journal.complain(kWho, QStringLiteral("building: ignored %1: %2").arg(shown, why),
                       u"building message", QStringLiteral("mqtt:") + shown);
}

QJsonObject Building::toJson() const {
    QJsonArray projectors;
    for (const auto& [name, row] : m_rows) {
        projectors.append(QJsonObject{
            {QStringLiteral("name"), name},
            {QStringLiteral("description"), row.description},
            {QStringLiteral("groups"), QJsonArray::fromStringList(row.groups)},
            {QStringLiteral("url"), row.url},
            {QStringLiteral("availability"), row.availability},
            {QStringLiteral("power"), row.power},
            {QStringLiteral("input"), row.input},
            {QStringLiteral("lamp_hours"), row.lampHours},
            {QStringLiteral("lamp_alert_hours"), row.lampAlertHours},
            {QStringLiteral("alerts"), row.alerts},
            {QStringLiteral("model"), row.model},
            {QStringLiteral("version"), row.version},
            {QStringLiteral("last_seen"), row.lastSeen.toUTC().toString(Qt::ISODateWithMs)},
        });
    }
    return {{QStringLiteral("base"), m_base},
            {QStringLiteral("projectors"), projectors},
            {QStringLiteral("self"), m_self}};
}

QByteArray announcementPayload(const Announcement& announcement) {
    const QJsonObject info{
        {QStringLiteral("name"), announcement.name},
        {QStringLiteral("description"), announcement.description},
        {QStringLiteral("groups"), QJsonArray::fromStringList(announcement.groups)},
        {QStringLiteral("url"),
         announcement.url.isEmpty() ? QJsonValue() : QJsonValue(announcement.url)},
        {QStringLiteral("alerts"), announcement.alerts},
        {QStringLiteral("model"), announcement.model},
        {QStringLiteral("lamp_alert_hours"),
         announcement.lampAlertHours ? QJsonValue(*announcement.lampAlertHours) : QJsonValue()},
        {QStringLiteral("version"), QStringLiteral(KAVO_VERSION)},
    };
    return QJsonDocument(info).toJson(QJsonDocument::Compact);
}

} // namespace kavo::service
