// The alerts: the monitor in-process on the queue rig and the fake clock
// (each event raised and cleared once, the damping, the one JSON shape), and
// each channel against a receiver the test starts: a hook script writing a
// file, a stand-in sendmail first on PATH, a loopback webhook server.

#include "alert_channels.h"
#include "alert_monitor.h"
#include "qt_platform.h"
#include "queue_rig.h"

#include <QFile>
#include <QHttpServer>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

using namespace kavo;
using namespace kavo::service;
using namespace kavo::test;
using namespace std::chrono_literals;

namespace {

// The levels, and the damping's times short enough for the rig's steps.
const AlertSettings kSettings{.name = "hall-a",
                              .lampHours = 1500,
                              .temperature = 80.0,
                              .lineAfter = 5s,
                              .clearAfter = 10s,
                              .quietAfter = 30s};

QString readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool writeScript(const QString& path, const QByteArray& body) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write("#!/bin/sh\n" + body);
    file.close();
    return file.setPermissions(file.permissions() | QFile::ExeOwner);
}

const QJsonObject kEvent{{"event", "lamp_hours"},
                         {"state", "raised"},
                         {"name", "hall-a"},
                         {"description", "Lamp hours at or past the alert level"},
                         {"detail", "1500 h reached (alert at 1500)"},
                         {"time", "2026-03-02T08:15:00.000Z"}};

// A webhook receiver on loopback: answers each request with the next status
// of its list (the last one from then on), and keeps what came.
struct WebhookReceiver {
    explicit WebhookReceiver(QList<int> statuses) {
        server.route("/hooks/s3cr3t-token", [this, statuses](const QHttpServerRequest& request) {
            bodies.append(request.body());
            signatures.append(request.value("X-Kavo-Signature"));
            return QHttpServerResponse(QHttpServerResponder::StatusCode(
                statuses.value(bodies.size() - 1, statuses.last())));
        });
        port = quint16(server.listen(QHostAddress::LocalHost));
    }
    QHttpServer server;
    quint16 port = 0;
    QList<QByteArray> bodies;
    QList<QByteArray> signatures;
};

} // namespace

class TestAlerts : public QObject {
    Q_OBJECT
  private slots:
    // Steps: "CR3=01500" changes a status read's answer, "wait S" lets S
    // seconds pass, "down" and "up" lose and open the line, "forget" leaves
    // every reading unknown, "expect N" checks the events said so far.
    // Polls every second; clear after 10 s, quiet for 30 s, line after 5 s.
    void events_data() {
        QTest::addColumn<bool>("lineAtStart");
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("said");
        const QStringList raisedCleared{"lamp_hours raised", "lamp_hours cleared"};
        QTest::newRow("lamp hours already past at start: raised once")
            << true << QStringList{"CR3=01600", "wait 60"} << QStringList{"lamp_hours raised"};
        QTest::newRow("lamp hours below the level: nothing")
            << true << QStringList{"CR3=01499", "wait 30"} << QStringList{};
        QTest::newRow("lamp hours reached, the lamp replaced: raised and cleared once")
            << true << QStringList{"CR3=01499", "wait 3",   "expect 0",  "CR3=01500",
                                   "wait 3",    "expect 1", "CR3=00000", "wait 60"}
            << raisedCleared;
        QTest::newRow("lamp failure in the power read")
            << true << QStringList{"CR0=21", "wait 3", "CR0=80", "wait 20"}
            << QStringList{"lamp_failure raised", "lamp_failure cleared"};
        QTest::newRow("lamp failure in the lamp status read")
            << true << QStringList{"CR LAMPSTS=000 1X", "wait 3"}
            << QStringList{"lamp_failure raised"};
        QTest::newRow("power fault")
            << true << QStringList{"CR0=10", "wait 3"} << QStringList{"power_fault raised"};
        QTest::newRow("temperature fault flapping within the clearing time: one raise")
            << true << QStringList{"CR0=08",  "wait 3",   "CR0=80", "wait 3", "CR0=08",
                                   "wait 15", "expect 1", "CR0=80", "wait 20"}
            << QStringList{"temperature_fault raised", "temperature_fault cleared"};
        QTest::newRow("back within the quiet time: raised only once it is over")
            << true << QStringList{"CR0=08", "wait 3",  "CR0=80",   "wait 15", "expect 2",
                                   "CR0=08", "wait 20", "expect 2", "wait 20"}
            << QStringList{"temperature_fault raised", "temperature_fault cleared",
                           "temperature_fault raised"};
        QTest::newRow("back and gone within the quiet time: nothing more")
            << true << QStringList{"CR0=08", "wait 3", "CR0=80", "wait 15",
                                   "CR0=08", "wait 3", "CR0=80", "wait 60"}
            << QStringList{"temperature_fault raised", "temperature_fault cleared"};
        QTest::newRow("temperature above the level")
            << true
            << QStringList{"CR6=+24.0 +85.5 +26.0", "wait 3", "CR6=+24.0 +25.5 +26.0", "wait 20"}
            << QStringList{"temperature raised", "temperature cleared"};
        QTest::newRow("line lost briefly: nothing")
            << true << QStringList{"down", "wait 4", "up", "wait 30"} << QStringList{};
        QTest::newRow("line lost for longer, and back")
            << true << QStringList{"down", "wait 6", "expect 1", "up", "wait 20"}
            << QStringList{"line_lost raised", "line_lost cleared"};
        QTest::newRow("line down from the start")
            << false << QStringList{"wait 6", "up", "wait 20"}
            << QStringList{"line_lost raised", "line_lost cleared"};
        QTest::newRow("readings forgotten with the line clear nothing")
            << true << QStringList{"CR0=21", "wait 3", "forget", "down", "wait 60"}
            << QStringList{"lamp_failure raised", "line_lost raised"};
    }
    void events() {
        QFETCH(bool, lineAtStart);
        QFETCH(QStringList, steps);
        QFETCH(QStringList, said);
        Rig rig({1000ms, 3000ms, 1s, 1s, 20ms});
        rig.answers.insert(QStringLiteral("CR3"), QStringLiteral("01000\r"));
        AlertMonitor monitor(*rig.queue, rig.clock, *rig.journal, kSettings);
        QStringList heard;
        monitor.addListener([&heard, &monitor](const QJsonObject& event) {
            heard.append(event.value("event").toString() + QLatin1Char(' ') +
                         event.value("state").toString());
            // A listener finds a raised alert among the open ones, a cleared one not.
            if (monitor.openAlerts().contains(event) != (event.value("state") == "raised"))
                heard.append(QStringLiteral("open alerts behind"));
        });
        if (lineAtStart)
            rig.queue->lineOpened();
        else
            rig.line.close();
        monitor.start(lineAtStart);
        for (const QString& step : steps) {
            const QString argument = step.section(QLatin1Char(' '), 1);
            if (step.contains(QLatin1Char('=')))
                rig.answers.insert(step.section(QLatin1Char('='), 0, 0),
                                   step.section(QLatin1Char('='), 1) + QLatin1Char('\r'));
            else if (step.startsWith(QLatin1String("wait")))
                rig.run(std::chrono::seconds(argument.toInt()));
            else if (step.startsWith(QLatin1String("expect")))
                QVERIFY2(heard.size() == argument.toInt(), qPrintable(heard.join(", ")));
            else if (step == QLatin1String("forget"))
                rig.state.forget();
            else if (step == QLatin1String("down")) {
                rig.line.close();
                monitor.lineChanged(false);
            } else if (step == QLatin1String("up")) {
                rig.line.open();
                rig.queue->lineOpened();
                monitor.lineChanged(true);
            }
        }
        QCOMPARE(heard, said);
        // Each event is one journal line, and the open list what is raised.
        QCOMPARE(rig.journalText().count(QStringLiteral("\talert ")), said.size());
        QCOMPARE(monitor.openAlerts().size(),
                 said.count() - 2 * said.filter(QStringLiteral(" cleared")).size());
    }

    // The one shape: its six fields, the detail in words, the time in ISO
    // 8601; one-off events kept among the last 50 but never open.
    void shape() {
        Rig rig;
        AlertMonitor monitor(*rig.queue, rig.clock, *rig.journal, kSettings, [&rig] {
            return QDateTime::fromMSecsSinceEpoch(1772439300000 + rig.clock.now().count(), Qt::UTC);
        });
        rig.answers.insert(QStringLiteral("CR3"), QStringLiteral("01500\r"));
        rig.queue->lineOpened();
        monitor.start(true);
        rig.run(500ms);
        const QJsonObject event = monitor.toJson().value("open").toArray().at(0).toObject();
        QCOMPARE(event.keys(),
                 (QStringList{"description", "detail", "event", "name", "state", "time"}));
        QCOMPARE(event.value("detail").toString(),
                 QStringLiteral("1500 h reached (alert at 1500)"));
        QCOMPARE(event.value("name").toString(), QStringLiteral("hall-a"));
        QVERIFY(event.value("time").toString().startsWith(QLatin1String("2026-03-02T08:15:")));
        for (int n = 0; n < 60; ++n)
            monitor.raiseOnce(QStringLiteral("schedule_failed"), QStringLiteral("run %1").arg(n));
        const QJsonObject all = monitor.toJson();
        QCOMPARE(all.value("open").toArray().size(), 1);
        const QJsonArray events = all.value("events").toArray();
        QCOMPARE(events.size(), int(kAlertEventsKept));
        QCOMPARE(events.first().toObject().value("detail").toString(), QStringLiteral("run 10"));
        QCOMPARE(events.last().toObject().value("description").toString(),
                 QStringLiteral("A scheduled action failed"));
    }

    // A hook script: the event in its environment and on its standard
    // input; its exit status and error output journaled; killed past its
    // time limit; a program that cannot start said so.
    void command_data() {
        QTest::addColumn<QByteArray>("script"); // empty: no such program
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<QString>("written");
        QTest::addColumn<QString>("journaled");
        QTest::newRow("runs with the event")
            << QByteArray("printf '%s|%s|%s|%s\\n' \"$KAVO_EVENT\" \"$KAVO_NAME\" \"$KAVO_STATE\" "
                          "\"$KAVO_DETAIL\" >> \"$0.out\"\ncat >> \"$0.out\"\necho no route >&2\n"
                          "exit 3\n")
            << 30000
            << QStringLiteral("lamp_hours|hall-a|raised|1500 h reached (alert at 1500)\n"
                              "{\"description\":")
            << QStringLiteral("for lamp_hours raised: exit status 3; it said: no route");
        QTest::newRow("past its time")
            << QByteArray("echo started > \"$0.out\"\nexec sleep 30\n") << 300
            << QStringLiteral("started") << QStringLiteral("lamp_hours raised: killed after 0.3 s");
        QTest::newRow("no such program")
            << QByteArray() << 30000 << QString() << QStringLiteral("cannot start it");
    }
    void command() {
        QFETCH(QByteArray, script);
        QFETCH(int, timeoutMs);
        QFETCH(QString, written);
        QFETCH(QString, journaled);
        QTemporaryDir dir;
        const QString hook = dir.filePath(QStringLiteral("hook"));
        if (!script.isEmpty())
            QVERIFY(writeScript(hook, script));
        QtTimerFactory timers;
        Rig rig;
        CommandChannel channel(hook, std::chrono::milliseconds(timeoutMs), timers, *rig.journal,
                               QStringLiteral("hall-a"));
        channel.send(kEvent);
        QTRY_VERIFY_WITH_TIMEOUT(rig.journalText().contains(QLatin1String("alert command")), 10000);
        QVERIFY2(rig.journalText().contains(journaled), qPrintable(rig.journalText()));
        QVERIFY(readAll(hook + QStringLiteral(".out")).startsWith(written));
    }

    // `sendmail -t` first on PATH gets the mail with its recipient; none
    // found is a clear journal line.
    void mail() {
        QTemporaryDir dir;
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", dir.path().toUtf8() + ':' + path);
        QVERIFY(writeScript(dir.filePath(QStringLiteral("sendmail")),
                            "echo \"$@\" > \"$0.args\"\ncat > \"$0.mail\"\n"));
        QtTimerFactory timers;
        Rig rig;
        {
            MailChannel channel(QStringLiteral("ops@example.org"), timers, *rig.journal,
                                QStringLiteral("hall-a"));
            channel.send(kEvent);
            QTRY_VERIFY_WITH_TIMEOUT(rig.journalText().contains(QLatin1String("exit status 0")),
                                     10000);
        }
        QCOMPARE(readAll(dir.filePath(QStringLiteral("sendmail.args"))), QStringLiteral("-t\n"));
        const QString mail = readAll(dir.filePath(QStringLiteral("sendmail.mail")));
        QVERIFY2(mail.startsWith(QLatin1String(
                     "To: ops@example.org\nSubject: hall-a: Lamp hours at or past the alert "
                     "level raised\n")),
                 qPrintable(mail));
        QVERIFY(mail.contains(QLatin1String("\n\nLamp hours at or past the alert level raised: "
                                            "1500 h reached (alert at 1500)\n")));

        QFile::remove(dir.filePath(QStringLiteral("sendmail")));
        qputenv("PATH", dir.path().toUtf8());
        if (!findSendmail().isEmpty())
            QSKIP("this machine has a sendmail outside PATH");
        MailChannel none(QStringLiteral("ops@example.org"), timers, *rig.journal,
                         QStringLiteral("hall-a"));
        qputenv("PATH", path);
        none.send(kEvent);
        QVERIFY(rig.journalText().contains(QLatin1String("no sendmail program (not on PATH")));
        QVERIFY(rig.journalText().contains(QLatin1String("lamp_hours raised not sent")));
    }

    // The signature by RFC 4231's second case, then the webhook on loopback:
    // signed, tried again after a failure, given up after three more tries;
    // the journal never shows the URL's path.
    void webhook_data() {
        QTest::addColumn<QList<int>>("statuses");
        QTest::addColumn<int>("tries");
        QTest::addColumn<QString>("journaled");
        QTest::newRow("delivered at once")
            << QList<int>{204} << 1 << QStringLiteral("delivered (HTTP 204)");
        QTest::newRow("delivered the second time")
            << QList<int>{500, 200} << 2 << QStringLiteral("HTTP 500; trying again in 0.01 s");
        QTest::newRow("given up") << QList<int>{503} << 4
                                  << QStringLiteral("HTTP 503; given up after 4 tries");
    }
    void webhook() {
        QFETCH(QList<int>, statuses);
        QFETCH(int, tries);
        QFETCH(QString, journaled);
        QCOMPARE(
            webhookSignature("what do ya want for nothing?", "Jefe"),
            QByteArray("sha256=5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"));
        WebhookReceiver receiver(statuses);
        QVERIFY(receiver.port != 0);
        QtTimerFactory timers;
        Rig rig;
        const QUrl url(QStringLiteral("http://127.0.0.1:%1/hooks/s3cr3t-token").arg(receiver.port));
        WebhookChannel channel({url, "key", {10ms, 20ms, 30ms}}, timers, *rig.journal,
                               QStringLiteral("hall-a"));
        channel.send(kEvent);
        QTRY_VERIFY_WITH_TIMEOUT(rig.journalText().contains(QLatin1String("delivered")) ||
                                     rig.journalText().contains(QLatin1String("given up")),
                                 10000);
        QCOMPARE(receiver.bodies.size(), tries);
        QCOMPARE(QJsonDocument::fromJson(receiver.bodies.first()).object(), kEvent);
        for (int n = 0; n < tries; ++n)
            QCOMPARE(receiver.signatures.at(n), webhookSignature(receiver.bodies.at(n), "key"));
        QVERIFY2(rig.journalText().contains(journaled), qPrintable(rig.journalText()));
        QVERIFY(!rig.journalText().contains(QLatin1String("s3cr3t")));
    }
};

QTEST_GUILESS_MAIN(TestAlerts)
#include "tst_alerts.moc"
