#include "building.h"

#include "port_paths.h"
#include "projector_state.h"
#include "projector_vocabulary.h"
#include "status_summary.h"

#include <algorithm>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

namespace kavo::cli {
namespace {

// A broker can hold anything: past these, more is not taken, so that
// kavoctl's memory stays bounded whatever was retained there.
constexpr std::size_t kMostProjectors = 10000;
constexpr qsizetype kLongestPayload = 16 * 1024;
constexpr qsizetype kLongestRequester = 64;

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

// Every column as wide as its widest cell, but the last; rows sorted by
// their first cell.
QStringList inColumns(std::vector<QStringList> rows) {
    std::ranges::sort(rows, {}, [](const QStringList& row) { return row.constFirst(); });
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
    return inColumns(std::move(rows));
}

BuildingChoice chooseProjectors(const std::vector<BuildingProjector>& all, const QStringList& names,
                                const QString& group) {
    BuildingChoice choice;
    for (const BuildingProjector& projector : all) {
        if ((!group.isEmpty() && inGroup(projector, group)) || names.contains(projector.name))
            choice.chosen.push_back(projector);
    }
    for (const QString& name : names) {
        const auto named = [&name](const BuildingProjector& projector) {
            return projector.name == name;
        };
        if (std::ranges::none_of(choice.chosen, named) && !choice.unknown.contains(name))
            choice.unknown << name;
    }
    choice.groupFound = group.isEmpty() ||
                        std::ranges::any_of(choice.chosen, [&group](const BuildingProjector& each) {
                            return inGroup(each, group);
                        });
    return choice;
}

QString requesterName(const QString& user, const QString& host) {
    static const QRegularExpression unfit(QStringLiteral("[^A-Za-z0-9._@:-]"));
    QString name = QStringLiteral("kavoctl:") + user + QLatin1Char('@') + host;
    return name.replace(unfit, QStringLiteral("-")).left(kLongestRequester);
}

QStringList groupTable(const std::vector<GroupReply>& replies) {
    std::vector<QStringList> rows;
    for (const GroupReply& reply : replies)
        rows.push_back({escapeControls(reply.name), groupOutcomeWord(reply.outcome),
                        escapeControls(reply.detail)});
    return inColumns(std::move(rows));
}

QJsonArray groupJson(const std::vector<GroupReply>& replies) {
    QJsonArray array;
    for (const GroupReply& reply : replies)
        array.append(QJsonObject{{QStringLiteral("name"), reply.name},
                                 {QStringLiteral("outcome"), groupOutcomeWord(reply.outcome)},
                                 {QStringLiteral("detail"), reply.detail}});
    return array;
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
