// The schedule in-process: its text, its times in a week, on holidays and
// across both clock changes of a year in two zones, and its runner on the
// queue rig and the fake clock (managed power, caught-up and missed runs,
// editing and pausing kept across a restart).

#include "queue_rig.h"
#include "schedule.h"
#include "scheduler.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace kavo;
using namespace kavo::service;
using namespace kavo::test;
using namespace std::chrono_literals;

namespace {

const QTimeZone kBerlin("Europe/Berlin");
// Wednesday 2026-12-09, 22:00 in Berlin.
const QDateTime kTen = QDateTime(QDate(2026, 12, 9), QTime(22, 0), kBerlin).toUTC();

void writeFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestSchedule : public QObject {
    Q_OBJECT
  private slots:
    // A text and what it gives: its entries, "LINE DAYS-BITS HH:MM ACTION"
    // parted by "|", or "error: " and the start of the error.
    void parse_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("a weekday schedule")
            << "# the hall\nmon-fri 07:45 power on\n\nweekdays 22:00 Power Off  # late\n"
               "sat,sun 9:05 input 2\nskip 2026-12-24..2027-01-06\n"
            << "2 31 07:45 power on|4 31 22:00 power off|5 96 09:05 input 2";
        QTest::newRow("days, wrapping ranges, names")
            << "fri-mon 10:00 lamp-mode eco1\ndaily 00:00 mute picture on\nweekends,wed 23:59 "
               "send C0D [turns it]\nmonday 12:00 power on"
            << "1 113 10:00 lamp-mode eco1|2 127 00:00 mute picture on|3 100 23:59 send C0D|"
               "4 1 12:00 power on";
        QTest::newRow("unknown days") << "\nmon-fry 22:00 power off"
                                      << "error: line 2: \"mon-fry\" are no";
        QTest::newRow("hour 24") << "daily 24:00 power off"
                                 << "error: line 1: \"24:00\" is no";
        QTest::newRow("unknown action") << "daily 22:00 power of"
                                        << "error: line 1: \"power of\" is no";
        QTest::newRow("no action") << "# x\n#\ndaily 22:00"
                                   << "error: line 3: an entry is";
        QTest::newRow("a control character") << "daily 22:00 send C\x01"
                                             << "error: line 1: a control character";
        QTest::newRow("a command that is none") << "\r\ndaily 22:00 send C\u00e9"
                                                << "error: line 2: character 2 of the command";
        QTest::newRow("a reversed skip") << "skip 2027-01-06..2026-12-24"
                                         << "error: line 1: the range";
        QTest::newRow("a skip's bad date") << "skip 2026-02-30"
                                           << "error: line 1: \"2026-02-30\"";
        QTest::newRow("too long") << QString(kLongestSchedule + 1, QLatin1Char('#'))
                                  << "error: the schedule is longer than";
    }
    void parse() {
        QFETCH(QString, text);
        QFETCH(QString, outcome);
        QString error;
        const std::optional<Schedule> schedule = parseSchedule(text, error);
        QStringList got;
        for (const ScheduleEntry& entry :
             schedule ? schedule->entries : std::vector<ScheduleEntry>())
            got.append(QStringLiteral("%1 %2 %3 %4")
                           .arg(entry.line)
                           .arg(entry.days)
                           .arg(entry.time.toString(u"HH:mm"), entry.action));
        const QString shown = schedule ? got.join(QLatin1Char('|')) : "error: " + error;
        QVERIFY2(outcome.startsWith("error: ") ? shown.startsWith(outcome) : shown == outcome,
                 qPrintable(shown));
    }

    // The next runs from a wall time of a zone, as that zone's ISO times.
    void runs_data() {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QStringList>("runs");
        const QString week = QStringLiteral("weekdays 22:00 power off\nsat,sun 09:00 power on\n"
                                            "mon,wed 07:30 input 2\n");
        QTest::newRow("a week") << QByteArray("Europe/Berlin") << week << "2026-12-07T07:30:00"
                                << QStringList{
                                       "2026-12-07T22:00:00+01:00", "2026-12-08T22:00:00+01:00",
                                       "2026-12-09T07:30:00+01:00", "2026-12-09T22:00:00+01:00",
                                       "2026-12-10T22:00:00+01:00", "2026-12-11T22:00:00+01:00",
                                       "2026-12-12T09:00:00+01:00", "2026-12-13T09:00:00+01:00",
                                       "2026-12-14T07:30:00+01:00"};
        QTest::newRow("holidays") << QByteArray("Europe/Berlin")
                                  << week + "skip 2026-12-24..2027-01-06\nskip 2027-01-08"
                                  << "2026-12-23T12:00:00"
                                  << QStringList{"2026-12-23T22:00:00+01:00",
                                                 "2027-01-07T22:00:00+01:00",
                                                 "2027-01-09T09:00:00+01:00"};
        QTest::newRow("Berlin skips 02:30 in March")
            << QByteArray("Europe/Berlin") << "daily 02:30 power on\ndaily 03:00 input 2"
            << "2026-03-28T12:00:00"
            << QStringList{"2026-03-29T03:00:00+02:00", "2026-03-29T03:00:00+02:00",
                           "2026-03-30T02:30:00+02:00"};
        QTest::newRow("Berlin repeats 02:30 in October")
            << QByteArray("Europe/Berlin") << "daily 02:30 power off"
            << "2026-10-24T12:00:00"
            << QStringList{"2026-10-25T02:30:00+02:00", "2026-10-26T02:30:00+01:00"};
        QTest::newRow("New York skips 02:15 in March")
            << QByteArray("America/New_York") << "sun 02:15 power on\nsun 01:59 input 1"
            << "2026-03-07T12:00:00"
            << QStringList{"2026-03-08T01:59:00-05:00", "2026-03-08T03:00:00-04:00",
                           "2026-03-15T01:59:00-04:00", "2026-03-15T02:15:00-04:00"};
        QTest::newRow("New York repeats 01:30 in November")
            << QByteArray("America/New_York") << "daily 01:30 power off"
            << "2026-10-31T12:00:00"
            << QStringList{"2026-11-01T01:30:00-04:00", "2026-11-02T01:30:00-05:00"};
        QTest::newRow("from within the repeated hour")
            << QByteArray("America/New_York") << "daily 01:30 power off"
            << "2026-11-01T01:45:00" << QStringList{"2026-11-02T01:30:00-05:00"};
        QTest::newRow("nothing but skips") << QByteArray("Europe/Berlin") << "skip 2026-01-01"
                                           << "2026-01-01T00:00:00" << QStringList{};
    }
    void runs() {
        QFETCH(QByteArray, zone);
        QFETCH(QString, text);
        QFETCH(QString, from);
        QFETCH(QStringList, runs);
        const QTimeZone timeZone(zone);
        QVERIFY(timeZone.isValid());
        QString error;
        const std::optional<Schedule> schedule = parseSchedule(text, error);
        QVERIFY2(schedule, qPrintable(error));
        const QDateTime start = QDateTime::fromString(from, Qt::ISODate);
        const QDateTime after(start.date(), start.time(), timeZone);
        QStringList got;
        for (const ScheduledRun& run : nextRuns(*schedule, after, timeZone, int(runs.size())))
            got.append(run.time.toTimeZone(timeZone).toString(Qt::ISODate));
        QCOMPARE(got, runs);
        // The same runs as they come due, up to the last (a year when there is none).
        got.clear();
        const QDateTime last = runs.isEmpty()
                                   ? after.addYears(1)
                                   : QDateTime::fromString(runs.constLast(), Qt::ISODate);
        for (const ScheduledRun& run : runsBetween(*schedule, after, last, timeZone))
            got.append(run.time.toTimeZone(timeZone).toString(Qt::ISODate));
        QCOMPARE(got, runs);
    }

    // The runner on the rig, the schedule "daily 22:00 ACTION": where the
    // last run left off (minutes from 22:00, "" no state file), when the
    // service starts and until when it runs (minutes from 22:00), the power
    // reads before and after the power command ("00>80"), the minute the
    // line comes back (-99: never down), and then the journal (a pattern),
    // the power commands that went out and the alerts.
    void runner_data() {
        QTest::addColumn<QString>("state"); // "MINUTES" or "MINUTES paused"
        QTest::addColumn<int>("start");
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("until");
        QTest::addColumn<QString>("reads");
        QTest::addColumn<int>("lineBack");
        QTest::addColumn<QString>("journal");
        QTest::addColumn<int>("powerCommands");
        QTest::addColumn<QString>("alert");
        QTest::newRow("off from on") << "" << -1 << "power off" << 2 << "00>80" << -99
                                     << "power off at 22:00: standby at 22:00:0\\d" << 1 << "";
        QTest::newRow("off in standby already")
            << "" << -1 << "power off" << 2 << "80>80" << -99
            << "power off at 22:00: standby at 22:00:00" << 0 << "";
        QTest::newRow("on from standby") << "" << -1 << "power on" << 2 << "80>00" << -99
                                         << "power on at 22:00: on at 22:00:0\\d" << 1 << "";
        QTest::newRow("ignored: sent once more, then failed")
            << "" << -1 << "power off" << 12 << "00>00" << -99
            << "not reached \\(still on after 300 s\\): sending it once more\n.*"
               "power off at 22:00: failed: still on after 300 s"
            << 2 << "schedule_failed";
        QTest::newRow("warming up for good: waited, never sent")
            << "" << -1 << "power off" << 12 << "40>40" << -99
            << "failed: still warming up after 300 s" << 0 << "schedule_failed";
        QTest::newRow("a lamp failure is not asked again")
            << "" << -1 << "power on" << 2 << "21>21" << -99
            << "^(?!.*once more).*power on at 22:00: failed: the projector is in a lamp failure\n"
            << 0 << "schedule_failed";
        QTest::newRow("another action") << "" << -1 << "input 2" << 2 << "00>00" << -99
                                        << "input 2 at 22:00: done at 22:00:00" << 0 << "";
        QTest::newRow("a raw command") << "" << -1 << "send C0D" << 2 << "00>00" << -99
                                       << "send C0D at 22:00: done at" << 0 << "";
        QTest::newRow("service down, back within the catch-up")
            << "-5" << 10 << "power off" << 12 << "00>80" << -99
            << "power off at 22:00 \\(caught up\\): standby at 22:10:0\\d" << 1 << "";
        QTest::newRow("service down past the catch-up")
            << "-5" << 20 << "power off" << 22 << "00>80" << -99
            << "power off at 22:00 on 2026-12-09: missed: the service or the line was down past "
               "the 15 min catch-up"
            << 0 << "schedule_missed";
        QTest::newRow("no state: nothing known missed")
            << "" << 10 << "power off" << 12 << "00>80" << -99 << "catch-up 15 min\\)\n"
            << 0 << "";
        QTest::newRow("line back within the catch-up")
            << "" << -1 << "power off" << 12 << "00>80" << 5
            << "waiting for the line, at most until 22:15\n.*\\(caught up\\): standby at 22:05" << 1
            << "";
        QTest::newRow("line back past the catch-up")
            << "" << -1 << "power off" << 18 << "00>80" << 17 << "waiting for the line.*\n.*missed"
            << 0 << "schedule_missed";
        QTest::newRow("paused while the service was down: not missed")
            << "-5 paused" << 20 << "power off" << 21 << "00>80" << -99
            << "power off at 22:00: not run: the schedule is paused" << 0 << "";
        QTest::newRow("paused") << "-5 paused" << -1 << "power off" << 2 << "00>80" << -99
                                << "power off at 22:00: not run: the schedule is paused" << 0 << "";
    }
    void runner() {
        QFETCH(QString, state);
        QFETCH(int, start);
        QFETCH(QString, action);
        QFETCH(int, until);
        QFETCH(QString, reads);
        QFETCH(int, lineBack);
        QFETCH(QString, journal);
        QFETCH(int, powerCommands);
        QFETCH(QString, alert);
        QTemporaryDir folder;
        const QString file = folder.filePath(QStringLiteral("schedule"));
        writeFile(file, "daily 22:00 " + action.toUtf8() + "\n");
        if (!state.isEmpty()) {
            const QDateTime handled = kTen.addSecs(60 * state.section(' ', 0, 0).toInt());
            writeFile(file + ".state",
                      QJsonDocument(QJsonObject{{"handled_until", handled.toString(Qt::ISODate)},
                                                {"paused", state.endsWith("paused")}})
                          .toJson());
        }
        Rig rig;
        rig.answers.insert("CR0", reads.section('>', 0, 0) + "\r");
        const QDateTime wallStart = kTen.addSecs(60 * start);
        Scheduler scheduler(*rig.queue, rig.clock, *rig.journal,
                            {file, kDefaultCatchUp, kBerlin,
                             [&] { return wallStart.addMSecs(rig.clock.now().count()); }});
        QStringList alerts;
        scheduler.setAlert([&](const QString& event, const QString&) { alerts.append(event); });
        if (lineBack != -99)
            rig.line.close();
        QCOMPARE(scheduler.start(), QString());
        const QString command = action == QLatin1String("power on") ? "C00" : "C01";
        for (int second = 0; second < 60 * (until - start); ++second) {
            rig.run(1s);
            if (rig.sent.contains(command))
                rig.answers.insert("CR0", reads.section('>', 1) + "\r");
            if (lineBack != -99 && !rig.line.isOpen() &&
                rig.clock.now() >= std::chrono::minutes(lineBack - start)) {
                rig.line.open();
                rig.queue->lineOpened();
                scheduler.lineChanged(true);
            }
        }
        const QString text = rig.journalText();
        QVERIFY2(QRegularExpression(journal, QRegularExpression::DotMatchesEverythingOption)
                     .match(text)
                     .hasMatch(),
                 qPrintable(text));
        QCOMPARE(rig.sent.count(command), powerCommands);
        QCOMPARE(alerts.join(','), alert);
        // How the run ended is also what the page and kavoctl show.
        const QJsonArray last = scheduler.toJson()["last"].toArray();
        QVERIFY(powerCommands == 0 || !last.isEmpty());
        if (!last.isEmpty())
            QVERIFY2(text.contains(last.last()["outcome"].toString()), qPrintable(text));
        // The run is counted as handled: a restart does not run it again.
        scheduler.stop();
        const QJsonObject kept = QJsonDocument::fromJson(readFile(file + ".state")).object();
        QVERIFY(QDateTime::fromString(kept["handled_until"].toString(), Qt::ISODate) >= kTen);
    }

    // Edited and paused: a wrong text is refused with its line, the old file
    // is kept as FILE~, and both the schedule and the pause outlast a restart.
    void editAndPause() {
        QTemporaryDir folder;
        const QString file = folder.filePath(QStringLiteral("schedule"));
        writeFile(file, "daily 22:00 power off\n");
        Rig rig;
        const auto wall = [&] { return kTen.addMSecs(rig.clock.now().count() - 3600'000); };
        {
            Scheduler scheduler(*rig.queue, rig.clock, *rig.journal,
                                {file, kDefaultCatchUp, kBerlin, wall});
            QCOMPARE(scheduler.start(), QString());
            const auto wrong = scheduler.replace("mon 7:00 power on\nsun 7 power", "http:ann@::1");
            QVERIFY(wrong && wrong->badText && wrong->message.startsWith("line 2: "));
            QCOMPARE(readFile(file), QByteArray("daily 22:00 power off\n"));
            QVERIFY(!scheduler.replace("mon 07:00 power on\n", "http:ann@::1"));
            QCOMPARE(readFile(file + "~"), QByteArray("daily 22:00 power off\n"));
            QCOMPARE(scheduler.setPaused(true, "http:ann@::1"), QString());
            const QJsonObject shown = scheduler.toJson();
            QCOMPARE(shown.value("next").toArray().first().toObject().value("time").toString(),
                     QStringLiteral("2026-12-14T07:00:00+01:00"));
            QCOMPARE(shown.value("paused").toBool(), true);
        }
        Scheduler again(*rig.queue, rig.clock, *rig.journal,
                        {file, kDefaultCatchUp, kBerlin, wall});
        QCOMPARE(again.start(), QString());
        QVERIFY(again.paused());
        QCOMPARE(again.text(), QStringLiteral("mon 07:00 power on\n"));
        QVERIFY(rig.journalText().contains("http:ann@::1\tpaused the schedule"));
    }
};

QTEST_GUILESS_MAIN(TestSchedule)
#include "tst_schedule.moc"
