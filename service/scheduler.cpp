#include "scheduler.h"

#include "exchange_report.h"
#include "mqtt_bridge.h"
#include "port_paths.h"
#include "safe_files.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

namespace kavo::service {
namespace {

const QString kWho = QStringLiteral("schedule");

// "1 entry, 3 skips"
QString counted(const Schedule& schedule) {
    const auto entries = schedule.entries.size();
    const auto skips = schedule.skips.size();
    return QStringLiteral("%1 %2, %3 %4")
        .arg(entries)
        .arg(entries == 1 ? QStringLiteral("entry") : QStringLiteral("entries"))
        .arg(skips)
        .arg(skips == 1 ? QStringLiteral("skip") : QStringLiteral("skips"));
}

QString stateFile(const QString& file) {
    return file + QStringLiteral(".state");
}

// Replaces the file atomically, keeping its permissions.
QString writeAtomically(const QString& path, const QByteArray& content) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit())
        return QStringLiteral("cannot write %1: %2").arg(escapeControls(path), file.errorString());
    return {};
}

} // namespace

Scheduler::Scheduler(LineQueue& queue, TimerFactory& timers, Journal& journal,
                     SchedulerSettings settings)
    : m_queue(queue), m_journal(journal), m_settings(std::move(settings)),
      m_power(
          [this](const QString& command, ManagedPower::Ended ended) {
              m_queue.submit(m_client, command, std::move(ended));
          },
          timers),
      m_tick(timers.createTimer()) {
    m_tick->setTickHandler([this] { check(); });
}

Scheduler::~Scheduler() {
    stop();
}

QString Scheduler::start() {
    QFile file(m_settings.file);
    QString error;
    if (!openToRead(file, QStringLiteral("schedule"), error))
        return error;
    const QByteArray bytes = file.read(kLongestSchedule * 4 + 1);
    const QString text = QString::fromUtf8(bytes);
    const std::optional<Schedule> schedule = parseSchedule(text, error);
    if (!schedule)
        return QStringLiteral("%1: %2").arg(escapeControls(m_settings.file), error);
    m_schedule = *schedule;
    m_text = text;

    const QDateTime now = m_settings.wallClock().toUTC();
    m_doneUntil = now;
    QFile state(stateFile(m_settings.file));
    if (state.exists()) {
        QString problem;
        QJsonObject kept;
        if (openToRead(state, QStringLiteral("schedule's state"), problem))
            kept = QJsonDocument::fromJson(state.read(4096)).object();
        const QDateTime until = QDateTime::fromString(
            kept.value(QStringLiteral("handled_until")).toString(), Qt::ISODateWithMs);
        if (until.isValid()) {
            m_doneUntil = until.toUTC();
            m_paused = kept.value(QStringLiteral("paused")).toBool();
        } else {
            m_journal.write(kWho, QStringLiteral("%1 holds no state: runs missed while the "
                                                 "service was down are not known")
                                      .arg(escapeControls(stateFile(m_settings.file))));
        }
    }
    const QDateTime lookBack = now.addDays(-kScheduleLookBackDays);
    if (m_doneUntil < lookBack) {
        m_journal.write(kWho, QStringLiteral("not run since %1: runs before %2 are not looked at")
                                  .arg(wallText(m_doneUntil, "yyyy-MM-dd HH:mm"),
                                       wallText(lookBack, "yyyy-MM-dd HH:mm")));
        m_doneUntil = lookBack;
    }
    m_client = m_queue.addClient(kWho, Policy::Requests);
    m_started = true;
    m_journal.write(kWho, QStringLiteral("%1 from %2 (%3, catch-up %4 min)%5")
                              .arg(counted(m_schedule), escapeControls(m_settings.file),
                                   QString(m_settings.zone.id()))
                              .arg(m_settings.catchUp.count())
                              .arg(m_paused ? QStringLiteral(": paused") : QString()));
    if (const QString problem = saveState(); !problem.isEmpty())
        m_journal.write(kWho, problem);
    // A line that is about to open is not waited for in words: the first
    // check comes when it opens, or with the timer.
    if (m_queue.lineOpen())
        check();
    else
        arm();
    return {};
}

void Scheduler::stop() {
    if (!m_started)
        return;
    m_started = false;
    m_tick->setEnabled(false);
    m_power.cancel();
    ++m_runNumber;
    saveState();
    m_queue.removeClient(m_client);
}

void Scheduler::lineChanged(bool open) {
    if (open && m_started)
        check();
}

Scheduler::Run Scheduler::runOf(const ScheduledRun& run) const {
    return {m_schedule.entries[run.entry], run.date, run.time, false};
}

void Scheduler::check() {
    if (!m_started)
        return;
    const QDateTime now = m_settings.wallClock().toUTC();
    if (now <= m_doneUntil) {
        arm();
        return;
    }
    const bool open = m_queue.lineOpen();
    const qint64 catchUp = std::chrono::seconds(m_settings.catchUp).count();
    int missedCount = 0;
    int pausedCount = 0;
    bool handled = false;
    for (const ScheduledRun& due : runsBetween(m_schedule, m_doneUntil, now, m_settings.zone)) {
        Run run = runOf(due);
        if (m_paused) {
            if (++pausedCount <= kMostMissedLines)
                m_journal.write(
                    kWho, QStringLiteral("%1: not run: the schedule is paused").arg(label(run)));
        } else if (now > run.time.addSecs(catchUp)) {
            if (++missedCount <= kMostMissedLines)
                missed(run);
        } else if (open) {
            run.caughtUp = now > run.time.addSecs(60);
            m_pending.push_back(std::move(run));
        } else {
            if (m_waitNoted != run.time)
                m_journal.write(kWho,
                                QStringLiteral("%1: waiting for the line, at most until %2")
                                    .arg(label(run), wallText(run.time.addSecs(catchUp), "HH:mm")));
            m_waitNoted = run.time;
            break;
        }
        m_doneUntil = due.time;
        handled = true;
    }
    if (open || m_paused)
        m_doneUntil = now;
    if (pausedCount > kMostMissedLines)
        m_journal.write(kWho, QStringLiteral("%1 more runs not run: the schedule is paused")
                                  .arg(pausedCount - kMostMissedLines));
    if (missedCount > kMostMissedLines) {
        const QString more =
            QStringLiteral("%1 more runs missed").arg(missedCount - kMostMissedLines);
        m_journal.write(kWho, more);
        if (m_alert)
            m_alert(QStringLiteral("schedule_missed"), more);
    }
    // Kept only when a run was handled: nothing else needs to outlast a restart.
    if (handled) {
        if (const QString problem = saveState(); !problem.isEmpty())
            m_journal.complain(kWho, problem, u"state not saved");
    }
    if (!m_running)
        runNext();
    arm();
}

void Scheduler::arm() {
    // Wake for the next run, or sooner to notice a clock set anew.
    const QDateTime now = m_settings.wallClock().toUTC();
    std::chrono::milliseconds wait = kScheduleRecheck;
    const std::vector<ScheduledRun> next =
        service::nextRuns(m_schedule, std::max(m_doneUntil, now), m_settings.zone, 1);
    if (!next.empty())
        wait = std::clamp(std::chrono::milliseconds(now.msecsTo(next.front().time)),
                          std::chrono::milliseconds(1), wait);
    m_tick->setInterval(wait);
    m_tick->setEnabled(true);
}

void Scheduler::missed(const Run& run) {
    const QString what = label(run, true);
    m_journal.write(kWho, QStringLiteral("%1: missed: the service or the line was down past "
                                         "the %2 min catch-up")
                              .arg(what)
                              .arg(m_settings.catchUp.count()));
    remember(QStringLiteral("%1: missed").arg(what));
    if (m_alert)
        m_alert(QStringLiteral("schedule_missed"), what);
}

void Scheduler::runNext() {
    if (m_running || m_pending.empty())
        return;
    m_running = std::move(m_pending.front());
    m_pending.pop_front();
    m_attempt = 1;
    const quint64 number = ++m_runNumber;
    if (m_running->entry.power) {
        m_power.start(*m_running->entry.power, kManagedPowerWait,
                      [this, number](const ManagedPower::Outcome& outcome) {
                          if (number == m_runNumber)
                              powerEnded(outcome);
                      });
        return;
    }
    sendStep(0);
}

void Scheduler::sendStep(std::size_t step) {
    const QStringList& commands = m_running->entry.commands;
    if (step >= std::size_t(commands.size()))
        return finish(
            true, QStringLiteral("done at %1").arg(wallText(m_settings.wallClock(), "HH:mm:ss")));
    const quint64 number = m_runNumber;
    const QString command = commands[qsizetype(step)];
    m_queue.submit(m_client, command, [this, number, step, command](const Exchange* exchange) {
        if (number != m_runNumber || !m_running)
            return;
        if (exchange && exchange->kind == ReplyKind::Answered)
            return sendStep(step + 1);
        const QString why =
            exchange ? QStringLiteral("\"%1\" got %2").arg(command, outcomeWord(exchange->kind))
                     : QStringLiteral("\"%1\" was not sent").arg(command);
        if (m_attempt == 1) {
            ++m_attempt;
            m_journal.write(
                kWho, QStringLiteral("%1: %2: sending it once more").arg(label(*m_running), why));
            ++m_runNumber;
            return sendStep(0);
        }
        finish(false, why);
    });
}

void Scheduler::powerEnded(const ManagedPower::Outcome& outcome) {
    if (outcome.reached)
        return finish(
            true, QStringLiteral("%1 at %2")
                      .arg(powerWord(outcome.last), wallText(m_settings.wallClock(), "HH:mm:ss")));
    // A projector in a fault will not do better when asked again.
    if (m_attempt == 1 && !isFault(outcome.last)) {
        ++m_attempt;
        m_journal.write(kWho, QStringLiteral("%1: not reached (%2): sending it once more")
                                  .arg(label(*m_running), outcome.words));
        const quint64 number = ++m_runNumber;
        m_power.start(*m_running->entry.power, kManagedPowerWait,
                      [this, number](const ManagedPower::Outcome& again) {
                          if (number == m_runNumber)
                              powerEnded(again);
                      });
        return;
    }
    finish(false, outcome.words);
}

void Scheduler::finish(bool done, const QString& words) {
    const Run run = std::move(*m_running);
    m_running.reset();
    const QString line = QStringLiteral("%1: %2%3")
                             .arg(label(run), done ? QString() : QStringLiteral("failed: "), words);
    m_journal.write(kWho, line);
    remember(line);
    if (!done && m_alert)
        m_alert(QStringLiteral("schedule_failed"), line);
    if (const QString problem = saveState(); !problem.isEmpty())
        m_journal.complain(kWho, problem, u"state not saved");
    runNext();
}

QString Scheduler::saveState() {
    // A run not yet ended is run again after a restart, within the catch-up.
    QDateTime until = m_doneUntil;
    if (m_running)
        until = std::min(until, m_running->time.addMSecs(-1));
    if (!m_pending.empty())
        until = std::min(until, m_pending.front().time.addMSecs(-1));
    const QJsonObject state{{QStringLiteral("paused"), m_paused},
                            {QStringLiteral("handled_until"), until.toString(Qt::ISODateWithMs)}};
    return writeAtomically(stateFile(m_settings.file),
                           QJsonDocument(state).toJson(QJsonDocument::Compact) + '\n');
}

std::optional<ScheduleProblem> Scheduler::replace(const QString& text, const QString& who) {
    QString error;
    const std::optional<Schedule> schedule = parseSchedule(text, error);
    if (!schedule)
        return ScheduleProblem{true, error};
    if (QFileInfo::exists(m_settings.file)) {
        if (const QString problem =
                writeAtomically(m_settings.file + QLatin1Char('~'), m_text.toUtf8());
            !problem.isEmpty())
            return ScheduleProblem{false, problem};
    }
    if (const QString problem = writeAtomically(m_settings.file, text.toUtf8()); !problem.isEmpty())
        return ScheduleProblem{false, problem};
    m_schedule = *schedule;
    m_text = text;
    m_journal.write(
        who, QStringLiteral("changed the schedule: %1 (the old one is %2~)")
                 .arg(counted(m_schedule), escapeControls(QFileInfo(m_settings.file).fileName())));
    if (m_started)
        arm();
    return std::nullopt;
}

QString Scheduler::setPaused(bool paused, const QString& who) {
    if (paused == m_paused)
        return {};
    m_paused = paused;
    if (const QString problem = saveState(); !problem.isEmpty()) {
        m_paused = !paused;
        m_journal.write(kWho, problem);
        return problem;
    }
    m_journal.write(who, paused ? QStringLiteral("paused the schedule")
                                : QStringLiteral("resumed the schedule"));
    return {};
}

std::vector<ScheduledRun> Scheduler::nextRuns(int count) const {
    return service::nextRuns(m_schedule, m_settings.wallClock().toUTC(), m_settings.zone, count);
}

void Scheduler::remember(const QString& outcome) {
    if (m_outcomes.size() == kOutcomesKept)
        m_outcomes.pop_front();
    m_outcomes.emplace_back(m_settings.wallClock().toUTC(), outcome);
}

QJsonObject Scheduler::toJson(int next) const {
    QJsonArray entries;
    for (const ScheduleEntry& entry : m_schedule.entries)
        entries.append(QJsonObject{{QStringLiteral("line"), entry.line},
                                   {QStringLiteral("days"), entry.daysText},
                                   {QStringLiteral("time"), entry.time.toString(u"HH:mm")},
                                   {QStringLiteral("action"), entry.action}});
    QJsonArray skips;
    for (const ScheduleSkip& skip : m_schedule.skips)
        skips.append(QJsonObject{{QStringLiteral("line"), skip.line},
                                 {QStringLiteral("from"), skip.first.toString(Qt::ISODate)},
                                 {QStringLiteral("to"), skip.last.toString(Qt::ISODate)}});
    QJsonArray runs;
    for (const ScheduledRun& run : nextRuns(next))
        runs.append(QJsonObject{
            {QStringLiteral("time"), run.time.toTimeZone(m_settings.zone).toString(Qt::ISODate)},
            {QStringLiteral("action"), m_schedule.entries[run.entry].action},
            {QStringLiteral("line"), m_schedule.entries[run.entry].line}});
    QJsonArray last;
    for (const auto& [time, outcome] : m_outcomes)
        last.append(QJsonObject{
            {QStringLiteral("time"), time.toTimeZone(m_settings.zone).toString(Qt::ISODate)},
            {QStringLiteral("outcome"), outcome}});
    return {{QStringLiteral("file"), m_settings.file},
            {QStringLiteral("text"), m_text},
            {QStringLiteral("entries"), entries},
            {QStringLiteral("skips"), skips},
            {QStringLiteral("paused"), m_paused},
            {QStringLiteral("zone"), QString::fromUtf8(m_settings.zone.id())},
            {QStringLiteral("catch_up_minutes"), qint64(m_settings.catchUp.count())},
            {QStringLiteral("running"), m_running ? QJsonValue(label(*m_running)) : QJsonValue()},
            {QStringLiteral("next"), runs},
            {QStringLiteral("last"), last}};
}

QString Scheduler::label(const Run& run, bool withDate) const {
    QString text =
        QStringLiteral("%1 at %2").arg(run.entry.action, run.entry.time.toString(u"HH:mm"));
    if (withDate)
        text += QStringLiteral(" on ") + run.date.toString(Qt::ISODate);
    if (run.caughtUp)
        text += QStringLiteral(" (caught up)");
    return text;
}

QString Scheduler::wallText(const QDateTime& time, const char* format) const {
    return time.toTimeZone(m_settings.zone).toString(QString::fromLatin1(format));
}

} // namespace kavo::service
