#pragma once

// kavoctl across the building: the projectors that services announce on one
// MQTT broker, gathered from their retained topics (BASE/NAME/info,
// availability and state), and written as lines or JSON. A projector is on
// the broker while its announcement is; its availability and state are
// shown as they were last told.

#include "group_request.h"

#include <map>
#include <optional>
#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <vector>

namespace kavo::cli {

struct BuildingProjector {
    QString name;
    QJsonObject info;     // the announcement: description, groups, url, alerts, model, version
    QString availability; // "online", "offline"; empty: not told
    QJsonObject state;    // ProjectorState::toJson() as published
};

class Building {
  public:
    explicit Building(QString base);

    // The topics to subscribe to.
    QStringList topics() const;
    // One message from the broker; false when it is none of the building's.
    bool take(const QString& topic, const QByteArray& payload);
    // The projectors announced, sorted by name.
    std::vector<BuildingProjector> projectors() const;

  private:
    QString m_base;
    std::map<QString, BuildingProjector> m_byName;
};

// Whether the projector is in the group.
bool inGroup(const BuildingProjector& projector, const QString& group);

// The projectors that status or a verb names: by name and by group.
struct BuildingChoice {
    std::vector<BuildingProjector> chosen; // sorted by name, each once
    QStringList unknown;                   // names not announced on the broker
    bool groupFound = true;                // false: a group was named and nobody is in it
};
BuildingChoice chooseProjectors(const std::vector<BuildingProjector>& all, const QStringList& names,
                                const QString& group);

// Who asks, as a verb across the building names kavoctl to the services:
// "kavoctl:USER@HOST", with what a requester's name may not hold as "-",
// cut to the longest name.
QString requesterName(const QString& user, const QString& host);

// A verb's answers, one line each: name, outcome, detail.
QStringList groupTable(const std::vector<GroupReply>& replies);
// The same for --json: [{"name", "outcome", "detail"}...].
QJsonArray groupJson(const std::vector<GroupReply>& replies);

// One line each, in columns: name, availability, power in words, input, lamp
// hours, groups, description. `unknown` names get a line of their own.
QStringList buildingTable(const std::vector<BuildingProjector>& projectors,
                          const QStringList& unknown = {});

// The object --json gives for a projector: name, availability, description,
// groups, url, alerts, model, version, state and status's summary of it.
QJsonObject buildingJson(const BuildingProjector& projector);

// status in its short form for each projector: a heading line, then the
// summary's lines indented.
QStringList buildingStatus(const BuildingProjector& projector, const QDateTime& now);

} // namespace kavo::cli
