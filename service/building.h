#pragma once

// The building as this service sees it on its broker: every projector that
// announces itself under the same base topic (BASE/NAME/info), with its
// availability and the parts of its state a table shows. A projector is in
// the building from its announcement on until the announcement is removed
// (an empty retained payload); one that goes offline stays, as offline.
// Whatever the broker brings is bounded: at most kMostProjectors rows,
// payloads past kLargestPayload ignored, names and groups checked as the
// service checks its own.

#include "journal.h"

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

namespace kavo::service {

inline constexpr std::size_t kMostProjectors = 2000;
inline constexpr qsizetype kLargestPayload = 64 * 1024;

struct BuildingRow {
    QString description;
    QStringList groups;
    QJsonValue url;                     // an http(s) URL, or null
    QJsonValue availability;            // "online", "offline", or null when not heard
    QJsonValue power, input, lampHours; // from its state; null when not known
    QJsonValue lampAlertHours;          // the lamp hours it raises an alert at, or null
    QJsonArray alerts;                  // the open ones, as announced
    QString model, version;
    QDateTime lastSeen; // when any of its messages last came
};

class Building {
  public:
    using Clock = std::function<QDateTime()>;

    // `base` is the topics' base ("kavo"), `self` this service's name.
    Building(Journal& journal, QString base, QString self,
             Clock clock = &QDateTime::currentDateTimeUtc);

    // The subscriptions that bring the building: info first, so that a
    // broker's retained announcements come before the rest.
    QStringList topicFilters() const;
    // A message from the broker; false when it is none of the building's.
    bool take(const QString& topic, const QByteArray& payload);
    // Told after every message that changed a row or its last seen.
    void setChanged(std::function<void()> changed) { m_changed = std::move(changed); }

    const std::map<QString, BuildingRow>& rows() const { return m_rows; }
    // {"base": BASE, "projectors": [rows by name], "self": NAME}
    QJsonObject toJson() const;

  private:
    bool takeInfo(const QString& name, const QByteArray& payload);
    bool takeState(BuildingRow& row, const QByteArray& payload);
    void ignore(const QString& topic, const QString& why);

    Journal& m_journal;
    QString m_base;
    QString m_self;
    Clock m_clock;
    std::map<QString, BuildingRow> m_rows; // by name
    std::function<void()> m_changed;
};

// The info object a service announces on BASE/NAME/info.
struct Announcement {
    QString name;
    QString description;
    QStringList groups;
    QString url; // empty: none
    QJsonArray alerts;
    QString model;
    std::optional<int> lampAlertHours;
};
QByteArray announcementPayload(const Announcement& announcement);

} // namespace kavo::service
