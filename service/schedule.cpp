#include "schedule.h"

#include "command_check.h"
#include "port_paths.h"
#include "projector_vocabulary.h"

#include <algorithm>
#include <array>
#include <QRegularExpression>

namespace kavo::service {
namespace {

constexpr std::uint8_t kEveryDay = 0x7f;
constexpr std::uint8_t kWeekdays = 0x1f;
constexpr std::uint8_t kWeekends = 0x60;

const std::array<QLatin1StringView, 7> kDayNames{QLatin1StringView("mon"), QLatin1StringView("tue"),
                                                 QLatin1StringView("wed"), QLatin1StringView("thu"),
                                                 QLatin1StringView("fri"), QLatin1StringView("sat"),
                                                 QLatin1StringView("sun")};

// Qt's day of the week (1 Monday .. 7 Sunday) of "mon" or "monday", or 0.
int dayOf(QStringView word) {
    for (std::size_t i = 0; i < kDayNames.size(); ++i) {
        static const std::array<QLatin1StringView, 7> whole{
            QLatin1StringView("monday"),    QLatin1StringView("tuesday"),
            QLatin1StringView("wednesday"), QLatin1StringView("thursday"),
            QLatin1StringView("friday"),    QLatin1StringView("saturday"),
            QLatin1StringView("sunday")};
        if (word == kDayNames[i] || word == whole[i])
            return int(i) + 1;
    }
    return 0;
}

std::optional<std::uint8_t> daysOf(const QString& text) {
    std::uint8_t days = 0;
    for (const QString& part : text.split(QLatin1Char(','))) {
        if (part == QLatin1String("daily")) {
            days |= kEveryDay;
            continue;
        }
        if (part == QLatin1String("weekdays")) {
            days |= kWeekdays;
            continue;
        }
        if (part == QLatin1String("weekends")) {
            days |= kWeekends;
            continue;
        }
        const QStringList ends = part.split(QLatin1Char('-'));
        if (ends.size() > 2)
            return std::nullopt;
        const int first = dayOf(ends.constFirst());
        const int last = dayOf(ends.constLast());
        if (first == 0 || last == 0)
            return std::nullopt;
        // A range may wrap past Sunday: "fri-mon".
        for (int day = first;; day = day % 7 + 1) {
            days |= std::uint8_t(1u << (day - 1));
            if (day == last)
                break;
        }
    }
    return days;
}

// The action's commands, or why it is none.
QString readAction(const QString& words, ScheduleEntry& entry) {
    if (words.startsWith(QLatin1String("send "))) {
        const CheckedCommand checked = checkCommand(words.mid(5));
        if (!checked.error.isEmpty())
            return checked.error;
        // The line's blanks were folded already: one before a "[" note is no part of it.
        const QString command = checked.command.trimmed();
        entry.action = QStringLiteral("send ") + command;
        entry.commands = {command};
        return {};
    }
    const Action* action = findAction(words.toLower());
    if (!action)
        return QStringLiteral("\"%1\" is no action (power on, power off, input 2, "
                              "lamp-mode eco1, mute picture on, ... or send COMMAND)")
            .arg(escapeControls(words.left(80)));
    entry.action = action->name;
    entry.commands = action->commands;
    if (action->name == QLatin1String("power on"))
        entry.power = true;
    else if (action->name == QLatin1String("power off"))
        entry.power = false;
    return {};
}

QString readSkip(const QString& range, ScheduleSkip& skip) {
    const QStringList ends = range.split(QLatin1String(".."));
    if (ends.size() > 2)
        return QStringLiteral("a skip is \"skip YYYY-MM-DD\" or \"skip YYYY-MM-DD..YYYY-MM-DD\"");
    skip.first = QDate::fromString(ends.constFirst(), Qt::ISODate);
    skip.last = QDate::fromString(ends.constLast(), Qt::ISODate);
    if (!skip.first.isValid() || !skip.last.isValid())
        return QStringLiteral("\"%1\" is no date or range of dates (YYYY-MM-DD..YYYY-MM-DD)")
            .arg(escapeControls(range.left(40)));
    if (skip.last < skip.first)
        return QStringLiteral("the range %1 ends before it starts").arg(range);
    return {};
}

// One line without its comment: empty when it holds nothing, else why it is
// wrong.
QString readLine(const QString& line, Schedule& schedule, int number) {
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    const QStringList words = line.simplified().split(blanks, Qt::SkipEmptyParts);
    if (words.isEmpty())
        return {};
    if (words.constFirst().compare(QLatin1String("skip"), Qt::CaseInsensitive) == 0) {
        if (words.size() != 2)
            return QStringLiteral(
                "a skip is \"skip YYYY-MM-DD\" or \"skip YYYY-MM-DD..YYYY-MM-DD\"");
        ScheduleSkip skip{number, {}, {}};
        if (QString problem = readSkip(words[1], skip); !problem.isEmpty())
            return problem;
        schedule.skips.push_back(skip);
        return {};
    }
    if (words.size() < 3)
        return QStringLiteral("an entry is DAYS HH:MM ACTION (\"mon-fri 22:00 power off\")");
    ScheduleEntry entry;
    entry.line = number;
    entry.daysText = words[0].toLower();
    const std::optional<std::uint8_t> days = daysOf(entry.daysText);
    if (!days)
        return QStringLiteral("\"%1\" are no days (daily, weekdays, weekends, or days and ranges "
                              "such as mon-fri or sat,sun)")
            .arg(escapeControls(words[0].left(40)));
    entry.days = *days;
    static const QRegularExpression clock(QStringLiteral("\\A([01]?[0-9]|2[0-3]):([0-5][0-9])\\z"));
    const QRegularExpressionMatch time = clock.match(words[1]);
    if (!time.hasMatch())
        return QStringLiteral("\"%1\" is no time of day (HH:MM, 00:00 to 23:59)")
            .arg(escapeControls(words[1].left(40)));
    entry.time = QTime(time.captured(1).toInt(), time.captured(2).toInt());
    if (QString problem = readAction(words.mid(2).join(QLatin1Char(' ')), entry);
        !problem.isEmpty())
        return problem;
    schedule.entries.push_back(std::move(entry));
    return {};
}

void sortRuns(std::vector<ScheduledRun>& runs) {
    std::ranges::stable_sort(runs, [](const ScheduledRun& a, const ScheduledRun& b) {
        return a.time < b.time || (a.time == b.time && a.entry < b.entry);
    });
}

// The day's runs, in order.
std::vector<ScheduledRun> runsOn(const Schedule& schedule, QDate date, const QTimeZone& zone) {
    std::vector<ScheduledRun> runs;
    if (schedule.skipped(date))
        return runs;
    const int day = date.dayOfWeek();
    for (std::size_t i = 0; i < schedule.entries.size(); ++i) {
        const ScheduleEntry& entry = schedule.entries[i];
        if (entry.days & (1u << (day - 1)))
            runs.push_back({wallInstant(date, entry.time, zone), date, i});
    }
    sortRuns(runs);
    return runs;
}

} // namespace

bool Schedule::skipped(QDate date) const {
    return std::ranges::any_of(skips, [date](const ScheduleSkip& skip) {
        return skip.first <= date && date <= skip.last;
    });
}

std::optional<Schedule> parseSchedule(const QString& text, QString& error) {
    if (text.size() > kLongestSchedule) {
        error = QStringLiteral("the schedule is longer than %1 characters").arg(kLongestSchedule);
        return std::nullopt;
    }
    const QStringList lines = text.split(QLatin1Char('\n'));
    if (lines.size() > kMostScheduleLines) {
        error = QStringLiteral("the schedule has more than %1 lines").arg(kMostScheduleLines);
        return std::nullopt;
    }
    Schedule schedule;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QString line = lines[i];
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        const bool control = std::ranges::any_of(line, [](QChar c) {
            return (c.unicode() < 0x20 && c != QLatin1Char('\t')) || c.unicode() == 0x7f;
        });
        if (control) {
            error = QStringLiteral("line %1: a control character").arg(i + 1);
            return std::nullopt;
        }
        // A comment runs from a "#" at the start of a line or after a blank.
        static const QRegularExpression comment(QStringLiteral("(^|\\s)#.*$"));
        line.remove(comment);
        if (const QString problem = readLine(line, schedule, int(i) + 1); !problem.isEmpty()) {
            error = QStringLiteral("line %1: %2").arg(i + 1).arg(problem);
            return std::nullopt;
        }
    }
    return schedule;
}

QDateTime wallInstant(QDate date, QTime time, const QTimeZone& zone) {
    const QDateTime asUtc(date, time, Qt::UTC);
    // The offsets in force around it; the earliest instant that shows the
    // time wins (a repeated time runs at its first occurrence).
    std::optional<QDateTime> earliest;
    for (const QDateTime& probe : {asUtc.addDays(-1), asUtc, asUtc.addDays(1)}) {
        const QDateTime candidate = asUtc.addSecs(-zone.offsetFromUtc(probe));
        const QDateTime wall = candidate.toTimeZone(zone);
        if (wall.date() == date && wall.time() == time && (!earliest || candidate < *earliest))
            earliest = candidate;
    }
    if (earliest)
        return *earliest;
    // Skipped: the clock change itself is the first minute after it.
    const QTimeZone::OffsetData change = zone.nextTransition(asUtc.addDays(-1));
    if (change.atUtc.isValid())
        return change.atUtc.toUTC();
    return asUtc.addSecs(-zone.offsetFromUtc(asUtc));
}

std::vector<ScheduledRun> runsBetween(const Schedule& schedule, const QDateTime& after,
                                      const QDateTime& until, const QTimeZone& zone) {
    std::vector<ScheduledRun> runs;
    const QDate first = after.toTimeZone(zone).date().addDays(-1);
    const QDate last =
        std::min(until.toTimeZone(zone).date().addDays(1), first.addDays(kScheduleHorizonDays));
    for (QDate date = first; date <= last; date = date.addDays(1)) {
        for (const ScheduledRun& run : runsOn(schedule, date, zone)) {
            if (after < run.time && run.time <= until)
                runs.push_back(run);
        }
    }
    sortRuns(runs);
    return runs;
}

std::vector<ScheduledRun> nextRuns(const Schedule& schedule, const QDateTime& after,
                                   const QTimeZone& zone, int count) {
    std::vector<ScheduledRun> runs;
    if (schedule.entries.empty() || count <= 0)
        return runs;
    const QDate first = after.toTimeZone(zone).date().addDays(-1);
    for (int day = 0; day <= kScheduleHorizonDays && int(runs.size()) < count; ++day) {
        for (const ScheduledRun& run : runsOn(schedule, first.addDays(day), zone)) {
            if (after < run.time && int(runs.size()) < count)
                runs.push_back(run);
        }
    }
    return runs;
}

} // namespace kavo::service
