#pragma once

// Runs the schedule (--schedule FILE) through the service's queue, as the
// client "schedule": power entries as managed power (sent once more when the
// state is not reached), other actions command by command, each outcome one
// journal line. What was due while the service or the line was down runs
// when they are back if it is at most the catch-up old, else it is journaled
// as missed. FILE.state keeps how far the schedule was handled and whether
// it is paused, so that both survive a restart.

#include "journal.h"
#include "line_queue.h"
#include "managed_power.h"
#include "schedule.h"
#include "timer.h"

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QTimeZone>

namespace kavo::service {

inline constexpr std::chrono::minutes kDefaultCatchUp{15};
// The wall clock is looked at least this often: a clock set forward or back
// is noticed in time.
inline constexpr std::chrono::seconds kScheduleRecheck{30};
// A run missed longer ago than this is not named on its own line.
inline constexpr int kScheduleLookBackDays = 31;
inline constexpr int kMostMissedLines = 10;
// The next runs shown on the page and by kavoctl.
inline constexpr int kNextRunsShown = 5;
// How the last runs ended, as the page and kavoctl show them.
inline constexpr std::size_t kOutcomesKept = 10;

struct SchedulerSettings {
    QString file;
    std::chrono::minutes catchUp = kDefaultCatchUp;
    QTimeZone zone = QTimeZone::systemTimeZone();
    std::function<QDateTime()> wallClock = &QDateTime::currentDateTimeUtc;
};

// Why a new schedule was not taken: its text is wrong ("line 3: ..."), or it
// could not be written.
struct ScheduleProblem {
    bool badText = false;
    QString message;
};

class Scheduler {
  public:
    // "schedule_failed" or "schedule_missed", and what: "power off at 22:00: ...".
    using Alert = std::function<void(const QString& event, const QString& detail)>;

    Scheduler(LineQueue& queue, TimerFactory& timers, Journal& journal, SchedulerSettings settings);
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // Reads the file and its state and starts; empty, or why the schedule
    // cannot run ("FILE: line 3: ...").
    QString start();
    // Keeps how far it got; a run under way is run again after a restart
    // if it is still within the catch-up.
    void stop();
    void setAlert(Alert alert) { m_alert = std::move(alert); }
    // The line opened or was lost: what waited for it runs now.
    void lineChanged(bool open);

    // Takes a new text: FILE is replaced atomically, the old one kept as FILE~.
    std::optional<ScheduleProblem> replace(const QString& text, const QString& who);
    // Empty, or why the state could not be kept.
    QString setPaused(bool paused, const QString& who);

    bool paused() const { return m_paused; }
    const QString& text() const { return m_text; }
    const Schedule& schedule() const { return m_schedule; }
    std::vector<ScheduledRun> nextRuns(int count) const;
    // What the page and kavoctl show: "text", "entries", "skips", "paused",
    // "next" (time in ISO 8601 with the zone's offset, action), and more.
    QJsonObject toJson(int next = kNextRunsShown) const;

  private:
    struct Run {
        ScheduleEntry entry;
        QDate date;
        QDateTime time;
        bool caughtUp = false;
    };

    void check();
    void arm();
    void runNext();
    void sendStep(std::size_t step);
    void powerEnded(const ManagedPower::Outcome& outcome);
    void finish(bool done, const QString& words);
    void missed(const Run& run);
    QString saveState();
    QString label(const Run& run, bool withDate = false) const;
    QString wallText(const QDateTime& time, const char* format) const;
    Run runOf(const ScheduledRun& run) const;

    LineQueue& m_queue;
    Journal& m_journal;
    SchedulerSettings m_settings;
    ClientId m_client = 0;
    ManagedPower m_power;
    std::unique_ptr<Timer> m_tick;
    Schedule m_schedule;
    QString m_text;
    bool m_paused = false;
    bool m_started = false;
    QDateTime m_doneUntil; // every run up to this instant was handled
    QDateTime m_waitNoted; // the last run said to wait for the line
    std::deque<Run> m_pending;
    std::optional<Run> m_running;
    int m_attempt = 0;
    quint64 m_runNumber = 0; // a late end of a run given up is not taken for the next
    Alert m_alert;
    // How the last runs ended, newest last: when, and the journal's words.
    std::deque<std::pair<QDateTime, QString>> m_outcomes;
    void remember(const QString& outcome);
};

} // namespace kavo::service
