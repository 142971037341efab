#pragma once

// The schedule's text and its times, without I/O: one entry a line,
// "DAYS HH:MM ACTION" ("mon-fri 22:00 power off"), "skip FIRST..LAST" for
// holidays, "#" comments. Times are the wall clock of a time zone: a time a
// clock change skips runs at the first minute after it, a time it repeats
// runs once, at its first occurrence.

#include <cstdint>
#include <optional>
#include <QDate>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QTime>
#include <QTimeZone>
#include <vector>

namespace kavo::service {

// A schedule's text is at most this long, its lines at most this many: its
// text and next runs fit in one answer of the service to kavoctl.
inline constexpr qsizetype kLongestSchedule = 16 * 1024;
inline constexpr int kMostScheduleLines = 1000;
// How far ahead the next runs are looked for.
inline constexpr int kScheduleHorizonDays = 800;

struct ScheduleEntry {
    int line = 0;              // in the text, from 1
    std::uint8_t days = 0;     // bit N-1 for Qt's day of the week N (Monday 1)
    QString daysText;          // as written: "mon-fri"
    QTime time;                // on the wall clock, whole minutes
    QString action;            // "power off", "input 2", "send C0D"
    QStringList commands;      // what the action sends, each without its CR
    std::optional<bool> power; // a power entry: on (true) or off (false)
};

struct ScheduleSkip {
    int line = 0;
    QDate first;
    QDate last; // the same as first for one day
};

struct Schedule {
    std::vector<ScheduleEntry> entries;
    std::vector<ScheduleSkip> skips;
    bool skipped(QDate date) const;
};

// The text as a schedule, or nullopt with "line N: why" in `error`.
std::optional<Schedule> parseSchedule(const QString& text, QString& error);

struct ScheduledRun {
    QDateTime time;        // when it runs, in UTC
    QDate date;            // the day it belongs to, on the wall clock
    std::size_t entry = 0; // index in Schedule::entries
};

// The instant the wall clock of `zone` first shows `date` and `time` or
// later: the first minute after a time the clock skips.
QDateTime wallInstant(QDate date, QTime time, const QTimeZone& zone);

// The runs after `after` up to and with `until`, in order of time (entries
// due at the same instant in the order of their lines).
std::vector<ScheduledRun> runsBetween(const Schedule& schedule, const QDateTime& after,
                                      const QDateTime& until, const QTimeZone& zone);
// The next `count` runs after `after`, within kScheduleHorizonDays.
std::vector<ScheduledRun> nextRuns(const Schedule& schedule, const QDateTime& after,
                                   const QTimeZone& zone, int count);

} // namespace kavo::service
