#pragma once

// The service's alerts: conditions read from the projector's state (lamp
// hours, lamp failure, faults, temperature) and from its line (lost for too
// long), each said once when it begins and once when it clears, plus one-off
// events raised elsewhere in the service (a scheduled action failed). Each
// event is one JSON object, the same for the journal's readers, the channels,
// the web page, MQTT and kavoctl:
//   {"event": "lamp_hours", "state": "raised", "name": "hall-a",
//    "description": "...", "detail": "1500 h reached (alert at 1500)",
//    "time": "2026-03-02T08:15:00.000Z"}
//
// Damping: a raised condition is cleared only once it has read clear for
// clearAfter without reading true again in between; a condition that comes
// back within quietAfter of being cleared is raised only if it still holds
// when that time is up. So a flapping condition says at most one raised and
// one cleared in every clearAfter + quietAfter.

#include "journal.h"
#include "line_queue.h"
#include "timer.h"

#include <array>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <vector>

namespace kavo::service {

inline constexpr std::chrono::seconds kLineAlertAfter{60};
inline constexpr std::chrono::minutes kAlertClearAfter{2};
inline constexpr std::chrono::minutes kAlertQuietAfter{10};
inline constexpr std::size_t kAlertEventsKept = 50;

struct AlertSettings {
    QString name;                      // the projector's, in every event
    std::optional<int> lampHours;      // no lamp hours alert without
    std::optional<double> temperature; // degrees Celsius; none without
    std::chrono::milliseconds lineAfter{kLineAlertAfter};
    std::chrono::milliseconds clearAfter{kAlertClearAfter};
    std::chrono::milliseconds quietAfter{kAlertQuietAfter};
};

class AlertMonitor {
  public:
    using Listener = std::function<void(const QJsonObject& event)>;
    using Clock = std::function<QDateTime()>;

    AlertMonitor(LineQueue& queue, TimerFactory& timers, Journal& journal, AlertSettings settings,
                 Clock clock = &QDateTime::currentDateTimeUtc);
    ~AlertMonitor();
    AlertMonitor(const AlertMonitor&) = delete;
    AlertMonitor& operator=(const AlertMonitor&) = delete;

    // The line as it is when the service starts: a line still down after
    // lineAfter is an alert like one lost later.
    void start(bool lineOpen);
    void lineChanged(bool open);
    // An event with nothing to clear ("schedule_failed"), said at once.
    void raiseOnce(const QString& event, const QString& detail);

    // Told of every event as it is said.
    void addListener(Listener listener) { m_listeners.push_back(std::move(listener)); }

    // The raised conditions not cleared yet, by the time they were raised.
    QJsonArray openAlerts() const;
    // The last kAlertEventsKept events, oldest first.
    QJsonArray recentEvents() const;
    // {"open": [...], "events": [...]}
    QJsonObject toJson() const;

  private:
    enum Kind {
        LampHours,
        LampFailure,
        TemperatureFault,
        PowerFault,
        Temperature,
        LineLost,
        Kinds
    };
    struct Condition {
        bool raised = false;
        bool pendingRaise = false; // held back after a recent clear
        QString detail;            // the last reading's, said with the next event
        std::optional<std::chrono::milliseconds> clearedAt;
        std::unique_ptr<Timer> clearLater;
        std::unique_ptr<Timer> raiseLater;
        QJsonObject open; // the raised event while raised
    };

    void stateRead();
    void observe(Kind kind, bool holds, const QString& detail);
    void raise(Kind kind);
    void clear(Kind kind);
    std::unique_ptr<Timer> oneShot(std::function<void()> fire);
    // `open`: where a raised condition keeps its event.
    void say(const QString& event, bool raised, const QString& detail, QJsonObject* open = nullptr);

    LineQueue& m_queue;
    TimerFactory& m_timers;
    Journal& m_journal;
    AlertSettings m_settings;
    Clock m_clock;
    std::array<Condition, Kinds> m_conditions;
    std::unique_ptr<Timer> m_lineLost;
    QDateTime m_lineDownSince;
    std::deque<QJsonObject> m_events;
    std::vector<Listener> m_listeners;
    std::shared_ptr<int> m_alive = std::make_shared<int>(0);
};

// The words of an event's name: "Lamp hours at or past the alert level".
QString alertDescription(const QString& event);

} // namespace kavo::service
