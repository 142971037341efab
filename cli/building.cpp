#include "building.h"

#include "port_paths.h"
#include "projector_state.h"
#include "projector_vocabulary.h"
#include "status_summary.h"

#include <algorithm>
#include <QJsonArray>
#include <QJsonDocument>

namespace kavo::cli {
namespace {

// A broker can hold anything: past these, more is not taken, so that
// kavoctl's memory stays bounded whatever was retained there.
constexpr std::size_t kMostProjectors = 10000;
constexpr qsizetype kLongestPayload = 16 * 1024;

const QString kNotKnown = QStringLiteral("-");

QString text(const QJsonObject& object, const char* key) {
    return escapeControls(object.value(QLatin1String(key)).toString());
}

QStringList groupsOf(const BuildingProjector& projector) {
    QStringList groups;
    for (const QJsonValue& group : projector.info.value(QStringLiteral("groups")).toArray())
        groups << escapeControls(group.toString());
    return groups;
}

QString availabilityOf(const BuildingProjector& projector) {
    return projector.availability.isEmpty() ? QStringLiteral("not known")
                                            : escapeControls(projector.availability);
}

// The state's word for a person: "warming up", "lamp failure".
QString words(const QJsonValue& value) {
    return value.isString() ? escapeControls(value.toString().replace(QLatin1Char('_'), ' '))
                            : kNotKnown;
}

} // namespace

Building::Building(QString base) : m_base(std::move(base)) {}

QStringList Building::topics() const {
    QStringList topics;
    for (const char* leaf : {"info", "availability", "state"})
        topics << m_base + QStringLiteral("/+/") + QLatin1String(leaf);
    return topics;
}

bool Building::take(const QString& topic, const QByteArray& payload) {
    const QString prefix = m_base + QLatin1Char('/');
    if (!topic.startsWith(prefix))
        return false;
    const QStringList levels = topic.mid(prefix.size()).split(QLatin1Char('/'));
    if (levels.size() != 2 || levels[0].isEmpty() || payload.size() > kLongestPayload)
        return false;
    const QString& name = levels[0];
    const QString& leaf = levels[1];
    if (!m_byName.contains(name) && m_byName.size() >= kMostProjectors)
        return false;
    const QJsonDocument document = QJsonDocument::fromJson(payload);
    BuildingProjector& projector = m_byName[name];
    projector.name = name;
    if (leaf == QLatin1String("info"))
        projector.info = document.object();
    else if (leaf == QLatin1String("state"))
        projector.state = document.object();
    else if (leaf == QLatin1String("availability"))
        projector.availability = QString::fromUtf8(payload.left(16));
    else
        return false;
    return true;
}

std::vector<BuildingProjector> Building::projectors() const {
    std::vector<BuildingProjector> announced;
    for (const auto& [name, projector] : m_byName) {
        if (!projector.info.isEmpty())
            announced.push_back(projector);
    }
    return announced;
}

bool inGroup(const BuildingProjector& projector, const QString& group) {
    return projector.info.value(QStringLiteral("groups")).toArray().contains(group);
}

QStringList buildingTable(const std::vector<BuildingProjector>& projectors,
                          const QStringList& unknown) {
    std::vector<QStringList> rows;
    for (const BuildingProjector& projector : projectors) {
        const QJsonValue hours = projector.state.value(stateFieldName(StateField::LampHours));
        const QStringList groups = groupsOf(projector);
        rows.push_back({escapeControls(projector.name), availabilityOf(projector),
                        words(projector.state.value(stateFieldName(StateField::Power))),
                        words(projector.state.value(stateFieldName(StateField::Input))),
                        hours.isDouble() ? QStringLiteral("%1 h").arg(hours.toInt()) : kNotKnown,
                        groups.isEmpty() ? kNotKnown : groups.join(QLatin1Char(',')),
                        text(projector.info, "description")});
    }
    for (const QString& name : unknown)
        rows.push_back({escapeControls(name), QStringLiteral("unknown")});
    std::ranges::sort(rows, {}, [](const QStringList& row) { return row.constFirst(); });
    // Every column as wide as its widest cell, but the last.
    std::vector<qsizetype> widths;
    for (const QStringList& row : rows) {
        widths.resize(std::max(widths.size(), std::size_t(row.size())));
        for (qsizetype column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], row[column].size());
    }
    QStringList lines;
    for (const QStringList& row : rows) {
        QString line;
        for (qsizetype column = 0; column < row.size(); ++column)
            line += column + 1 < row.size()
                        ? row[column].leftJustified(widths[column]) + QStringLiteral("  ")
                        : row[column];
        lines << line.trimmed();
    }
    return lines;
}

QJsonObject buildingJson(const BuildingProjector& projector) {
    QJsonObject object{
        {QStringLiteral("name"), projector.name},
        {QStringLiteral("availability"),
         projector.availability.isEmpty() ? QJsonValue() : QJsonValue(projector.availability)},
        {QStringLiteral("state"), projector.state},
        {QStringLiteral("summary"), statusSummaryJson(projector.state)},
    };
    for (const char* key : {"description", "groups", "url", "alerts", "model", "version"})
        object.insert(QLatin1String(key), projector.info.value(QLatin1String(key)));
    return object;
}

QStringList buildingStatus(const BuildingProjector& projector, const QDateTime& now) {
    const QStringList groups = groupsOf(projector);
    QStringList lines{QStringLiteral("%1: %2%3")
                          .arg(escapeControls(projector.name), availabilityOf(projector),
                               groups.isEmpty()
                                   ? QString()
                                   : QStringLiteral(", groups ") + groups.join(QLatin1Char(',')))};
    for (const QString& line : statusSummary(projector.state, now))
        lines << QStringLiteral("  ") + line;
    return lines;
}

} // namespace kavo::cli
