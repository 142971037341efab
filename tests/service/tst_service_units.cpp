// The service's units in-process, on the fake line and clock: the one queue
// (order, routing, policies, drops, polls), PJLink's requests, Home
// Assistant's discovery, the MQTT bridge on a fake broker link, and the
// building it sees there.

#include "accounts.h"
#include "building.h"
#include "fakes.h"
#include "group_actions.h"
#include "group_request.h"
#include "journal.h"
#include "line_queue.h"
#include "mqtt_bridge.h"
#include "mqtt_discovery.h"
#include "pjlink_requests.h"
#include "pjlink_udp.h"
#include "queue_rig.h"
#include "status_decoders.h"
#include "trace.h"

#include <cstdio>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>
#include <ranges>

using namespace kavo;
using namespace kavo::service;
using namespace kavo::test;
using namespace std::chrono_literals;

namespace {

// An exchange's ending as a test reads it: the reply, or "-" when it went nowhere.
QString shown(const Exchange* exchange) {
    return exchange ? exchange->reply : QStringLiteral("-");
}

// A projector's announcement as another service publishes it.
QByteArray info(const QString& name, const QString& groups = QStringLiteral("\"floor-2\""),
                const QString& url = QStringLiteral("null")) {
    return QStringLiteral("{\"name\":\"%1\",\"description\":\"Room 2.14\",\"groups\":[%2],"
                          "\"url\":%3,\"alerts\":[],\"model\":\"QV-TN310\",\"version\":\"1.0\"}")
        .arg(name, groups, url)
        .toUtf8();
}

} // namespace

class TestServiceUnits : public QObject {
    Q_OBJECT
  private slots:
    // Two clients' commands: "a" a raw line's client, "r" a requests client;
    // each step a command, or a pause. What went out, and what each heard.
    void queue_data() {
        QTest::addColumn<int>("delay");
        QTest::addColumn<int>("queueWait");
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("sent");
        QTest::addColumn<QStringList>("heard"); // "a:reply" in the order heard
        QTest::newRow("one at a time, each to its sender")
            << 150 << 3000 << QStringList{"a:CR0", "30", "r:C00"} << QStringList{"CR0", "C00"}
            << QStringList{"a:80\r", "r:\x06"};
        QTest::newRow("a cut exchange's late reply is nobody's")
            << 150 << 3000 << QStringList{"a:C0E", "30", "r:CR1", "40", "a:C0E"}
            << QStringList{"C0E", "CR1", "C0E"} << QStringList{"a:", "r:1\r", "a:\x06"};
        QTest::newRow("a requests client never cuts its own")
            << 150 << 3000 << QStringList{"r:C0E", "60", "r:C0E"} << QStringList{"C0E", "C0E"}
            << QStringList{"r:\x06", "r:\x06"};
        QTest::newRow("past the queue wait: dropped, told")
            << 150 << 100 << QStringList{"a:CR0", "10", "r:C00"} << QStringList{"CR0"}
            << QStringList{"a:80\r", "r:-"};
    }
    void queue() {
        QFETCH(int, delay);
        QFETCH(int, queueWait);
        QFETCH(QStringList, steps);
        QueueSettings settings;
        settings.queueWait = milliseconds(queueWait);
        settings.gap = 5000ms; // no polls among the clients' commands
        Rig rig(settings, milliseconds(delay));
        const ClientId a = rig.queue->addClient(QStringLiteral("a"), Policy::Line);
        const ClientId r = rig.queue->addClient(QStringLiteral("r"), Policy::Requests);
        QStringList heard;
        for (const QString& step : steps) {
            if (!step.contains(QLatin1Char(':'))) {
                rig.run(milliseconds(step.toInt()));
                continue;
            }
            const QString who = step.section(QLatin1Char(':'), 0, 0);
            rig.queue->submit(who == QLatin1String("a") ? a : r, step.section(QLatin1Char(':'), 1),
                              [&heard, who](const Exchange* exchange) {
                                  heard.append(who + QLatin1Char(':') + shown(exchange));
                              });
        }
        rig.run(1500ms);
        QTEST(rig.sent, "sent");
        QTEST(heard, "heard");
        if (QByteArray(QTest::currentDataTag()).contains("late"))
            QVERIFY(rig.journalText().contains("dropped a late reply"));
    }

    // Past its 32 waiting commands a client's are dropped, and said once;
    // with the line down nothing is sent; polls go only when nobody waits.
    void queueLimitsAndPolls() {
        Rig rig;
        rig.queue->lineOpened();
        rig.run(1000ms);
        QCOMPARE(rig.sent,
                 (QStringList{"CR0", "CR1", "CR6", "CR4", "CR3", "CR LAMPSTS", "CR LAMPMODE"}));
        QCOMPARE(rig.state.value(StateField::LampHours).toInt(), 1537);
        // Reads that say again what is known are not written down again.
        QCOMPARE(rig.journalText().count("\tpoll\t"), 7);
        rig.queue->lineOpened();
        rig.run(1000ms);
        QCOMPARE(rig.sent.size(), 14);
        QCOMPARE(rig.journalText().count("\tpoll\t"), 7);
        const ClientId a = rig.queue->addClient(QStringLiteral("a"), Policy::Requests);
        int dropped = 0;
        for (int n = 0; n < 40; ++n)
            rig.queue->submit(a, QStringLiteral("C00"),
                              [&](const Exchange* exchange) { dropped += exchange ? 0 : 1; });
        QCOMPARE(dropped, 40 - 1 - kMaxQueuedPerClient);
        QCOMPARE(rig.journalText().count("commands are waiting already"), 1);
        rig.run(2000ms);
        // After the commands the status is read again, once nobody waits.
        QCOMPARE(rig.sent.mid(14), QStringList(33, QStringLiteral("C00")) << "CR0");
        // An input's button: the status, and the input that shows it took effect.
        rig.queue->submit(a, QStringLiteral("C06"), [](const Exchange*) {});
        rig.run(500ms);
        QCOMPARE(rig.sent.mid(48), (QStringList{"C06", "CR0", "CR1"}));
        rig.line.close();
        QString outcome;
        rig.queue->submit(a, QStringLiteral("C01"),
                          [&](const Exchange* exchange) { outcome = shown(exchange); });
        QCOMPARE(outcome, QStringLiteral("-"));
        QVERIFY(rig.journalText().contains("not sent \"C 0 1\": the line is down"));
    }

    // PJLink's requests against what the service knows: the answer, or the
    // reads it needs first, or the commands that carry it out.
    void pjlink_data() {
        QTest::addColumn<QString>("power"); // the power read's reply, empty: never read
        QTest::addColumn<bool>("lineOpen");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("result");
        QTest::addColumn<QStringList>("then"); // reads or commands
        QTest::newRow("POWR ? unread: read first")
            << "" << true << QByteArray("POWR ?") << QByteArray("OK") << QStringList{"CR0"};
        QTest::newRow("POWR ? in standby")
            << "80" << true << QByteArray("POWR ?") << QByteArray("0") << QStringList();
        QTest::newRow("POWR ? in a lamp failure")
            << "81" << true << QByteArray("POWR ?") << QByteArray("ERR4") << QStringList();
        QTest::newRow("POWR 1 while cooling down")
            << "20" << true << QByteArray("POWR 1") << QByteArray("ERR3") << QStringList();
        QTest::newRow("POWR 0 when on")
            << "00" << true << QByteArray("POWR 0") << QByteArray("OK") << QStringList{"C01"};
        QTest::newRow("POWR 2") << "80" << true << QByteArray("POWR 2") << QByteArray("ERR2")
                                << QStringList();
        QTest::newRow("POWR ? with the line down")
            << "80" << false << QByteArray("POWR ?") << QByteArray("ERR3") << QStringList();
        QTest::newRow("INPT 51") << "80" << true << QByteArray("INPT 51") << QByteArray("OK")
                                 << QStringList{"C08"};
        QTest::newRow("INPT 52 is read, never chosen")
            << "80" << true << QByteArray("INPT 52") << QByteArray("ERR3") << QStringList();
        QTest::newRow("AVMT 31: both") << "80" << true << QByteArray("AVMT 31") << QByteArray("OK")
                                       << QStringList{"C0D", "C0B"};
        QTest::newRow("INST ?") << "" << false << QByteArray("INST ?")
                                << QByteArray("11 21 22 51 52") << QStringList();
        QTest::newRow("NAME ?, cut without splitting a character")
            << "" << true << QByteArray("NAME ?") << QString(40, QChar(0x00e9)).left(32).toUtf8()
            << QStringList();
        QTest::newRow("CLSS 1") << "" << true << QByteArray("CLSS 1") << QByteArray("ERR2")
                                << QStringList();
        QTest::newRow("undefined")
            << "" << true << QByteArray("XXXX ?") << QByteArray("ERR1") << QStringList();
        QTest::newRow("Class 2: SVOL 1")
            << "80" << true << QByteArray("%2SVOL 1") << QByteArray("OK") << QStringList{"C09"};
        QTest::newRow("Class 2: FREZ 1 with the line down")
            << "80" << false << QByteArray("%2FREZ 1") << QByteArray("ERR3") << QStringList();
        QTest::newRow("Class 2: INNM of an input no button chooses")
            << "" << true << QByteArray("%2INNM ?52") << QByteArray("WIRELESS VIEWER")
            << QStringList();
        QTest::newRow("Class 2: a Class 1 request with its header")
            << "80" << true << QByteArray("%2POWR ?") << QByteArray("ERR1") << QStringList();
    }
    void pjlink() {
        QFETCH(QString, power);
        QFETCH(bool, lineOpen);
        QFETCH(QByteArray, request);
        // "%2...": a Class 2 request to a Class 2 service.
        const char header = request.startsWith('%') ? request[1] : '1';
        if (request.startsWith('%'))
            request.remove(0, 2);
        ProjectorState state;
        const QDateTime now = QDateTime::currentDateTimeUtc();
        if (!power.isEmpty()) {
            Exchange read{QStringLiteral("CR0"), power + QLatin1Char('\r'), {}, {}, true, {},
                          ReplyKind::Answered};
            read.status = decodeStatus(QStringLiteral("CR0\r"), renderTrace(read.reply).text,
                                       read.reply.size());
            state.update(read, now);
        }
        PjlinkFacts facts{state,
                          lineOpen,
                          [](StateField) { return milliseconds(30000); },
                          now,
                          {},
                          {},
                          {},
                          QString(40, QChar(0x00e9)),
                          QStringLiteral("QV-TN310")};
        facts.pjlinkClass = header == '2' ? 2 : 1;
        const PjlinkDecision decision =
            decidePjlink(request.left(4), request.mid(5), facts, header);
        QTEST(decision.result, "result");
        QStringList then = decision.commands;
        for (const StateField field : decision.reads)
            then.append(readCommand(field));
        QTEST(then, "then");
    }

    // PJLink searches from one address on loopback, each after a pause of
    // its own: answered once a second however many come.
    void pjlinkSearch_data() {
        QTest::addColumn<QList<int>>("pauses"); // ms before each search
        QTest::addColumn<int>("answers");
        QTest::newRow("a flood") << QList<int>(200, 0) << 1;
        QTest::newRow("once a second") << QList<int>{0, 1000, 1000, 1000} << 4;
        QTest::newRow("again within the second") << QList<int>{0, 999, 1} << 2;
    }
    void pjlinkSearch() {
        QFETCH(QList<int>, pauses);
        Rig rig;
        QUdpSocket controller;
        QVERIFY(controller.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0));
        PjlinkUdp udp(*rig.queue, rig.clock, *rig.journal, QStringLiteral("hall-a"),
                      {QHostAddress::LocalHost, controller.localPort(), std::nullopt});
        QVERIFY(udp.listen().isEmpty());
        // Datagrams are read in the order they came: once a search from an
        // address of its own is answered, those before it were read too.
        int probes = 0;
        const auto settle = [&] {
            QUdpSocket probe;
            QVERIFY(probe.bind(QHostAddress(QStringLiteral("127.0.0.%1").arg(3 + probes++)),
                               controller.localPort()));
            probe.writeDatagram("%2SRCH\r", QHostAddress::LocalHost, controller.localPort());
            QDeadlineTimer deadline(5000);
            while (!probe.hasPendingDatagrams() && !deadline.hasExpired())
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
            QVERIFY(probe.hasPendingDatagrams());
        };
        int answers = 0;
        for (qsizetype n = 0; n < pauses.size(); ++n) {
            rig.clock.advance(milliseconds(pauses[n]));
            controller.writeDatagram("%2SRCH\r", QHostAddress::LocalHost, controller.localPort());
            if (n + 1 == pauses.size() || pauses[n + 1] > 0)
                settle();
            while (controller.hasPendingDatagrams()) {
                QVERIFY(controller.receiveDatagram().data().startsWith("%2ACKN="));
                ++answers;
            }
        }
        QTEST(answers, "answers");
    }

    // PJLink notifications to the controller, the status read every second
    // for 20 s: only what differs from the last one sent, at most once
    // every kNotifyEvery however often the power flaps.
    void pjlinkNotifications_data() {
        QTest::addColumn<QStringList>("powers"); // the power read's replies in turn
        QTest::addColumn<int>("least");
        QTest::addColumn<int>("most");
        QTest::newRow("steady") << QStringList{"80"} << 1 << 1;
        QTest::newRow("flapping every read") << QStringList{"80", "00"} << 2 << 5;
    }
    void pjlinkNotifications() {
        QFETCH(QStringList, powers);
        Rig rig({1000ms, 3000ms, 1s, 300s, 20ms});
        QUdpSocket controller;
        QVERIFY(controller.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0));
        PjlinkUdp udp(*rig.queue, rig.clock, *rig.journal, QStringLiteral("hall-a"),
                      {QHostAddress::LocalHost, controller.localPort(),
                       QHostAddress(QStringLiteral("127.0.0.2"))});
        QVERIFY(udp.listen().isEmpty());
        QVERIFY(controller.receiveDatagram().data().startsWith("%2LKUP="));
        rig.queue->lineOpened();
        QByteArrayList said;
        for (int second = 0; second < 20; ++second) {
            rig.answers[QStringLiteral("CR0")] = powers[second % powers.size()] + QLatin1Char('\r');
            rig.run(1000ms);
            while (controller.hasPendingDatagrams()) {
                const QByteArray got = controller.receiveDatagram().data();
                if (got.startsWith("%2POWR="))
                    said.append(got);
            }
        }
        QFETCH(int, least);
        QFETCH(int, most);
        QVERIFY2(said.size() >= least && said.size() <= most, said.join(' ').constData());
        for (qsizetype n = 1; n < said.size(); ++n)
            QVERIFY(said[n] != said[n - 1]);
    }

    // Accounts: set, checked, kept 0600 and read back; a file with a wrong
    // line is refused naming the line.
    void accounts() {
        Accounts accounts;
        QVERIFY(accounts.set(QStringLiteral("alice"), Role::Operator, "lectern 7").isEmpty());
        QVERIFY(!accounts.set(QStringLiteral("al:ice"), Role::Viewer, "x").isEmpty());
        QVERIFY(!accounts.set(QStringLiteral("bob"), Role::Viewer, "").isEmpty());
        QVERIFY(accounts.verify(QStringLiteral("alice"), "lectern 7"));
        QVERIFY(!accounts.verify(QStringLiteral("alice"), "lectern 8"));
        QVERIFY(!accounts.verify(QStringLiteral("bob"), "lectern 7"));
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("users"));
        QVERIFY(accounts.save(path).isEmpty());
        QCOMPARE(QFile::permissions(path) & ~(QFile::ReadUser | QFile::WriteUser),
                 QFile::ReadOwner | QFile::WriteOwner);
        QString error;
        const std::optional<Accounts> read = Accounts::load(path, false, error);
        QVERIFY2(read, qPrintable(error));
        QVERIFY(read->verify(QStringLiteral("alice"), "lectern 7"));
        QCOMPARE(read->find(QStringLiteral("alice"))->role, Role::Operator);
        const QByteArray hash = read->find(QStringLiteral("alice"))->hash;
        const std::array<std::pair<QByteArray, const char*>, 4> wrong{{
            {"alice:operator", "line 1: not NAME:ROLE:HASH"},
            {"# comment\nalice:owner:" + hash, "line 2: the role is not"},
            {"alice:admin:$pbkdf2$x", "line 1: the hash is not an argon2id hash"},
            {"alice:admin:" + hash + "\nalice:viewer:" + hash, "line 2: alice is there twice"},
        }};
        for (const auto& [text, said] : wrong) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
            file.close();
            QVERIFY(!Accounts::load(path, false, error));
            QVERIFY2(error.contains(QLatin1String(said)), qPrintable(error));
        }
    }

    // The discovery: 48 entities of one device, each with its own id, the
    // lamp mode select on the choice's own topic.
    void discovery() {
        const auto messages =
            discoveryMessages({QStringLiteral("homeassistant"), QStringLiteral("kavo/hall-a"),
                               QStringLiteral("hall-a"), QStringLiteral("QV-TN310")});
        QCOMPARE(messages.size(), std::size_t(48));
        QSet<QString> ids;
        for (const auto& [topic, payload] : messages) {
            const QJsonObject config = QJsonDocument::fromJson(payload).object();
            ids.insert(config.value(QStringLiteral("unique_id")).toString());
            QCOMPARE(config.value(QStringLiteral("availability_topic")).toString(),
                     QStringLiteral("kavo/hall-a/availability"));
        }
        QCOMPARE(ids.size(), 48);
        const auto select = std::ranges::find(
            messages, QStringLiteral("homeassistant/select/kavo_hall-a/lamp_mode_choice/config"),
            &std::pair<QString, QByteArray>::first);
        QVERIFY(select != messages.end());
        QVERIFY(select->second.contains("\"state_topic\":\"kavo/hall-a/lamp_mode_choice\""));
        QCOMPARE(inputPayloads(), (QStringList{"input_1", "input_2", "input_3", "wired"}));
        const auto alert = std::ranges::find(
            messages, QStringLiteral("homeassistant/event/kavo_hall-a/alert/config"),
            &std::pair<QString, QByteArray>::first);
        QVERIFY(alert != messages.end());
        QVERIFY(alert->second.contains("\"state_topic\":\"kavo/hall-a/event\""));
        QVERIFY(alert->second.contains("\"event_types\":[\"raised\",\"cleared\"]"));
    }

    // The bridge on a fake broker link: Home Assistant's "online" however
    // often publishes the discovery at most once an interval; a retained
    // command is never carried out; power/set is managed power through the queue.
    void mqttBridge() {
        Rig rig;
        rig.queue->lineOpened();
        rig.run(500ms);
        FakeMqttLink link;
        MqttBridge bridge(link, *rig.queue, rig.clock, *rig.journal,
                          {QStringLiteral("kavo/hall-a"), QStringLiteral("homeassistant"),
                           QStringLiteral("hall-a"), QStringLiteral("QV-TN310")});
        bridge.start();
        bridge.lineChanged(true);
        link.events.connected();
        const QString power = QStringLiteral("homeassistant/switch/kavo_hall-a/power/config");
        QCOMPARE(link.count(power), 1);
        for (int n = 0; n < 3000; ++n)
            link.events.message(QStringLiteral("homeassistant/status"), "online", false, {});
        rig.run(1000ms);
        QCOMPARE(link.count(power), 1);
        rig.run(kDiscoveryInterval);
        QCOMPARE(link.count(power), 2);
        // Read again every 30 s, unchanged: the state goes out once per kStateRefresh.
        const QString state = QStringLiteral("kavo/hall-a/state");
        rig.run(kStateRefresh);
        const int states = link.count(state);
        rig.run(3 * kStateRefresh);
        QVERIFY2(link.count(state) - states >= 2 && link.count(state) - states <= 3,
                 qPrintable(QString::number(link.count(state) - states)));

        const qsizetype before = rig.sent.size();
        for (int n = 0; n < 3; ++n)
            link.events.message(QStringLiteral("kavo/hall-a/command"), "C0D", true, {});
        link.events.message(QStringLiteral("kavo/hall-a/power/set"), "ON", true, {});
        rig.run(100ms);
        QCOMPARE(rig.sent.size(), before);
        QCOMPARE(rig.journalText().count("ignored a retained message"), 2); // once a topic

        link.events.message(QStringLiteral("kavo/hall-a/power/set"), "ON", false, {});
        rig.run(200ms);
        // Its status read, the command, its next read; the queue's own read after the command.
        QCOMPARE(rig.sent.mid(before), (QStringList{"CR0", "C00", "CR0", "CR0"}));
        QVERIFY(rig.journalText().contains("\tmqtt\tTxD: C 0 0"));
        // An alert's event, once, on its own topic.
        bridge.publishAlert({{"event", "lamp_hours"}, {"state", "raised"}});
        QCOMPARE(link.published.back().topic, "kavo/hall-a/event");
        QCOMPARE(link.published.back().payload, R"({"event":"lamp_hours","state":"raised"})");
    }

    // MQTT 5 requests, steps parted by "; ": "LEAF=PAYLOAD" a message from
    // alice@hall-a ("as:NAME" another), "40*LEAF=PAYLOAD" from 40 requesters at
    // once, "40+..." in turn, "to:TOPIC" the response topic, "COMMAND>REPLY" the
    // projector's answer from then on, "down" the line, "wait" 2 s. What went
    // out, the answers, a journal line, and how many clients the queue has.
    void mqttRequest_data() {
        struct Row {
            const char* name;
            QString steps, sent, answers, journal;
            int clients;
        };
        const QString mute = QStringLiteral("accepted: mute picture on");
        const std::vector<Row> rows{
            {"power on through its warm-up", "action=power on; CR0>40; wait; CR0>00; wait",
             "CR0,C00,CR0,CR0,CR0,CR LAMPSTS,CR3,CR0,CR0,CR LAMPSTS,CR3",
             "accepted: power on; reached: on", "\tmqtt:alice@hall-a\tTxD: C 0 0", 2},
            {"a newer power request replaces one waiting",
             "CR0>40; power/set=OFF; as:bob@hall-b; power/set=ON; CR0>00; wait",
             "CR0,CR LAMPSTS,CR3,CR0,CR0,CR LAMPSTS,CR3,CR0",
             "accepted: power off; accepted: power on; not reached: replaced by a newer power "
             "request; reached: on",
             "\tmqtt:bob@hall-b\tpower on: the projector is on", 3},
            {"a power request delivered twice",
             "CR0>40; action=power on; action=power on; CR0>00; wait",
             "CR0,CR LAMPSTS,CR3,CR0,CR0,CR LAMPSTS,CR3",
             "accepted: power on; accepted: power on; reached: on",
             "\tmqtt:alice@hall-a\tpower on: the projector is on", 2},
            {"inputs their read confirms, or not",
             "CR1>2; input/set=input_2; CR1>1; action=input 2", "C06,CR1,CR0,CR1,C06,CR1,CR0,CR1",
             "accepted: input 2; reached: input_2; accepted: input 2; not reached: the projector "
             "reads input_1",
             "\tmqtt:alice@hall-a\tTxD: C 0 6", 2},
            {"an action of two commands, one refused", "C0B>?; action=mute all on", "C0D,C0B,CR0",
             "accepted: mute all on; not reached: \"C0B\" got refused",
             "\tmqtt:alice@hall-a\tTxD: C 0 D", 2},
            {"no such action", "action=dance", "", "refused: no such action",
             "ignored kavo/hall-a/action \"dance\" (5 bytes)", 1},
            {"a requester's name out of bounds", "as:alice smith; power/set=OFF", "",
             "refused: the requester's name is not 1 to 64 letters, digits and ._@:-",
             "ignored kavo/hall-a/power/set \"OFF\"", 1},
            {"a response topic elsewhere: done, not answered",
             "to:kavo/hall-b/power/set; button/set=Command21", "C0D,CR0", "",
             "no answer on the response topic of kavo/hall-a/button/set", 2},
            {"the line down", "down; power/set=ON", "",
             "refused: the line to the projector is down", "ignored kavo/hall-a/power/set \"ON\"",
             1},
            {"40 requesters in turn", "40+action=mute picture on",
             QStringList(40, "C0D,CR0").join(','),
             QStringList(40, mute + "; reached: answered").join("; "), "\tmqtt:r39\tTxD: C 0 D",
             33},
            {"40 requesters at once", "40*action=mute picture on",
             QStringList(32, "C0D").join(',') + ",CR0",
             (QStringList(32, mute) +
              QStringList(8, "refused: 32 other requesters have commands waiting") +
              QStringList(32, "reached: answered"))
                 .join("; "),
             "\tmqtt:r31\tTxD: C 0 D", 33},
        };
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("sent");
        QTest::addColumn<QString>("answers");
        QTest::addColumn<QString>("journal");
        QTest::addColumn<int>("clients");
        for (const Row& row : rows)
            QTest::newRow(row.name)
                << row.steps << row.sent << row.answers << row.journal << row.clients;
    }
    void mqttRequest() {
        QFETCH(QString, steps);
        Rig rig;
        rig.queue->lineOpened();
        rig.run(500ms);
        FakeMqttLink link;
        MqttBridge bridge(link, *rig.queue, rig.clock, *rig.journal,
                          {"kavo/hall-a", {}, "hall-a", "QV-TN310", "kavo"});
        bridge.start();
        bridge.lineChanged(true);
        link.events.connected();
        rig.sent.clear();
        MqttRequest request{"kavo/_replies/alice/5f2a", "0123456789abcdef", "alice@hall-a"};
        static const QRegularExpression many(QStringLiteral("^(\\d+)([*+])(.*)$"));
        for (const QString& step : steps.split(QStringLiteral("; "))) {
            if (step == QLatin1String("down")) {
                rig.line.close();
                bridge.lineChanged(false);
            } else if (step == QLatin1String("wait")) {
                rig.run(2000ms);
            } else if (step.startsWith(QLatin1String("as:"))) {
                request.requester = step.mid(3);
            } else if (step.startsWith(QLatin1String("to:"))) {
                request.responseTopic = step.mid(3);
            } else if (step.contains(QLatin1Char('>'))) {
                rig.answers[step.section(QLatin1Char('>'), 0, 0)] =
                    step.section(QLatin1Char('>'), 1) + QLatin1Char('\r');
            } else {
                const QRegularExpressionMatch match = many.match(step);
                const QString message = match.hasMatch() ? match.captured(3) : step;
                for (int n = 0; n < (match.hasMatch() ? match.captured(1).toInt() : 1); ++n) {
                    if (match.hasMatch())
                        request.requester = QStringLiteral("r%1").arg(n);
                    link.arrive(QStringLiteral("kavo/hall-a/") + message.section('=', 0, 0),
                                message.section('=', 1).toUtf8(), request);
                    if (match.captured(2) != QLatin1String("*"))
                        rig.run(300ms);
                }
            }
        }
        rig.run(3000ms);
        QTEST(rig.sent.join(QLatin1Char(',')), "sent");
        QStringList answers;
        for (const FakeMqttLink::Published& published : link.published) {
            // An answer carries the correlation, wherever it went.
            if (published.request.correlation.isEmpty())
                continue;
            const std::optional<GroupReply> reply = parseGroupReply(published.payload);
            QVERIFY2(published.topic == request.responseTopic && reply &&
                         published.request.correlation == request.correlation &&
                         reply->name == QLatin1String("hall-a"),
                     published.payload);
            answers.append(groupOutcomeWord(reply->outcome) + QStringLiteral(": ") + reply->detail);
        }
        QTEST(answers.join(QStringLiteral("; ")), "answers");
        QFETCH(QString, journal);
        QVERIFY2(rig.journalText().contains(journal), qPrintable(rig.journalText()));
        QTEST(int(rig.queue->clients().size()), "clients");
    }

    // What the bridge announces on BASE/NAME/info: at connect, again when the
    // open alerts change and only then; the URL also in the discovery's device.
    void announcement_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QStringList>("alerts"); // the open alerts' events, set one after another
        QTest::addColumn<int>("published");
        QTest::addColumn<QString>("contains");
        QTest::addColumn<int>("alertHours"); // --lamp-alert-hours; 0: none
        QTest::newRow("at connect, without a URL")
            << "" << QStringList{} << 1
            << "{\"alerts\":[],\"description\":\"Room "
               "2.14\",\"groups\":[\"floor-2\",\"lecture-halls\"],\"lamp_alert_hours\":null,"
               "\"model\":\"QV-TN310\",\"name\":"
               "\"hall-a\",\"url\":null,\"version\":\""
            << 0;
        QTest::newRow("with a URL") << "https://hall-a.example/" << QStringList{} << 1
                                    << "\"url\":\"https://hall-a.example/\"" << 0;
        QTest::newRow("an alert raised, told once")
            << "" << QStringList{"lamp_hours", "lamp_hours"} << 2
            << R"("alerts":[{"event":"lamp_hours"}])" << 0;
        QTest::newRow("raised, then cleared")
            << "" << QStringList{"lamp_hours", ""} << 3 << R"("alerts":[])" << 0;
        QTest::newRow("the lamp alert threshold")
            << "" << QStringList{} << 1 << R"("lamp_alert_hours":2000,)" << 2000;
    }
    void announcement() {
        QFETCH(QString, url);
        QFETCH(QStringList, alerts);
        QFETCH(int, alertHours);
        Rig rig;
        FakeMqttLink link;
        MqttBridge bridge(link, *rig.queue, rig.clock, *rig.journal,
                          {QStringLiteral("kavo/hall-a"), QStringLiteral("homeassistant"),
                           QStringLiteral("hall-a"), QStringLiteral("QV-TN310"),
                           QStringLiteral("kavo"), QStringLiteral("Room 2.14"),
                           QStringList{"floor-2", "lecture-halls"}, url,
                           alertHours ? std::optional(alertHours) : std::nullopt});
        bridge.start();
        link.events.connected();
        for (const QString& event : alerts)
            bridge.setOpenAlerts(event.isEmpty() ? QJsonArray()
                                                 : QJsonArray{QJsonObject{{"event", event}}});
        const QString topic = QStringLiteral("kavo/hall-a/info");
        QTEST(link.count(topic), "published");
        // The last one published on the topic.
        QByteArray last;
        for (const FakeMqttLink::Published& published : link.published) {
            if (published.topic == topic)
                last = published.payload;
        }
        QFETCH(QString, contains);
        QVERIFY2(last.contains(contains.toUtf8()), last.constData());
        const auto device = std::ranges::find(
            link.published, QStringLiteral("homeassistant/switch/kavo_hall-a/power/config"),
            &FakeMqttLink::Published::topic);
        QCOMPARE(device->payload.contains("\"configuration_url\":\""), !url.isEmpty());
        // Its own announcement, back from the broker, puts it in its building.
        QVERIFY(link.subscribed.contains(QStringLiteral("kavo/+/info")));
        link.events.message(topic, last, true, {});
        QCOMPARE(bridge.building().rows().size(), std::size_t(1));
        QCOMPARE(bridge.building().rows().begin()->second.lampAlertHours,
                 alertHours ? QJsonValue(alertHours) : QJsonValue());
    }

    // The building from the broker's messages, "TOPIC=PAYLOAD" one after
    // another ("many:N": N announcements): how many rows, the first one as
    // "name availability power input lamp-hours groups url seen", and the journal.
    void building_data() {
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<int>("rows");
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("journal");
        const QString hallA = QStringLiteral("kavo/hall-a/info=") + info("hall-a");
        const QString state =
            QStringLiteral(R"(kavo/hall-a/state={"power":"warming_up","input":"input_2",)"
                           R"("lamp_hours":1537,"read_at":"x"})");
        QTest::newRow("announced, then its availability and state")
            << QStringList{hallA, "kavo/hall-a/availability=online", state} << 1
            << "hall-a online warming_up input_2 1537 floor-2 null 3"
            << "";
        QTest::newRow("offline stays listed")
            << QStringList{hallA, "kavo/hall-a/availability=online",
                           "kavo/hall-a/availability=offline"}
            << 1 << "hall-a offline null null null floor-2 null 3"
            << "";
        QTest::newRow("the announcement removed: gone")
            << QStringList{hallA, state, "kavo/hall-a/info="} << 0 << ""
            << "";
        QTest::newRow("a state before any announcement")
            << QStringList{state, "kavo/hall-a/availability=online"} << 0 << ""
            << "";
        QTest::newRow("another base, another depth: not the building's")
            << QStringList{"kavo2/hall-a/info=" + info("hall-a"),
                           "kavo/hall-a/power/info=" + info("hall-a")}
            << 0 << ""
            << "";
        QTest::newRow("a URL to follow")
            << QStringList{"kavo/hall-a/info=" + info("hall-a", "", "\"https://a.example/\"")} << 1
            << "hall-a null null null null  https://a.example/ 1"
            << "";
        QTest::newRow("a script for a URL")
            << QStringList{"kavo/hall-a/info=" + info("hall-a", "", "\"javascript:alert(1)\"")} << 0
            << ""
            << "the url is neither null nor an http or https URL";
        QTest::newRow("a group with a blank")
            << QStringList{"kavo/hall-a/info=" + info("hall-a", R"("floor 2")")} << 0 << ""
            << "groups are not a list of group names";
        QTest::newRow("someone else's name")
            << QStringList{"kavo/hall-b/info=" + info("hall-a")} << 0 << ""
            << "ignored kavo/hall-b/info: not a JSON object with the topic's name";
        QTest::newRow("a name no service takes")
            << QStringList{"kavo/hall a/info=" + info("hall a")} << 0 << ""
            << "not a projector's name";
        QTest::newRow("a name among the broker's own topics")
            << QStringList{"kavo/_replies/info=" + info("_replies")} << 0 << ""
            << "not a projector's name";
        QTest::newRow("past 64 KiB")
            << QStringList{hallA, "kavo/hall-a/state=" + QString(kLargestPayload + 1, u'x')} << 1
            << "hall-a null null null null floor-2 null 1"
            << "larger than 65536 bytes";
        QTest::newRow("a state that is no JSON object, a strange availability")
            << QStringList{hallA, state, "kavo/hall-a/state=[1]", "kavo/hall-a/availability=up"}
            << 1 << "hall-a null warming_up input_2 1537 floor-2 null 2"
            << "neither online";
        QTest::newRow("bounded") << QStringList{"many:2001"} << 2000 << ""
                                 << "the building holds 2000 projectors already";
    }
    void building() {
        QFETCH(QStringList, messages);
        Rig rig;
        Building building(*rig.journal, QStringLiteral("kavo"), QStringLiteral("hall-a"), [&rig] {
            return QDateTime::fromMSecsSinceEpoch(rig.clock.now().count(), Qt::UTC);
        });
        int changes = 0;
        building.setChanged([&changes] { ++changes; });
        for (const QString& message : messages) {
            rig.clock.advance(1s);
            if (message.startsWith(QLatin1String("many:"))) {
                for (int n = 0; n < message.mid(5).toInt(); ++n) {
                    const QString name = QStringLiteral("p%1").arg(n, 4, 10, QLatin1Char('0'));
                    building.take("kavo/" + name + "/info", info(name));
                }
                continue;
            }
            building.take(message.section(QLatin1Char('='), 0, 0),
                          message.section(QLatin1Char('='), 1).toUtf8());
        }
        const QJsonArray rows = building.toJson().value("projectors").toArray();
        QTEST(int(rows.size()), "rows");
        QVERIFY(changes >= (rows.isEmpty() ? 0 : 1));
        QStringList first;
        if (QTest::currentDataTag() != QByteArray("bounded") && !rows.isEmpty()) {
            const QJsonObject row = rows.first().toObject();
            for (const char* key : {"name", "availability", "power", "input", "lamp_hours"})
                first.append(row.value(QLatin1String(key)).toVariant().toString());
            for (QString& value : first)
                value = value.isEmpty() ? QStringLiteral("null") : value;
            first.append(row.value("groups").toVariant().toStringList().join(","));
            first.append(row.value("url").isNull() ? "null" : row.value("url").toString());
            first.append(QString::number(
                QDateTime::fromString(row.value("last_seen").toString(), Qt::ISODateWithMs)
                    .toSecsSinceEpoch()));
        }
        QTEST(first.join(QLatin1Char(' ')), "first");
        QFETCH(QString, journal);
        QVERIFY2(rig.journalText().contains(journal), qPrintable(rig.journalText()));
    }

    // Group actions on a fake broker link. Steps: "ask:ACTION:a,b" (a
    // request), "answer:N:NAME:OUTCOME[:DETAIL]" (to the Nth request; 0: a
    // correlation nobody used), "wait:SECONDS", "down" (the broker lost).
    // What each ask came to, what the first request sent, and how it stands.
    void groupActions_data() {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("asked");
        QTest::addColumn<QString>("sent");
        QTest::addColumn<QString>("replies");
        QTest::addColumn<bool>("finished");
        const QStringList offAB{"ask:power off:a,b,a"};
        const QString offSent = QStringLiteral("kavo/a/power/set=OFF kavo/b/power/set=OFF");
        QTest::newRow("answers in order")
            << (offAB + QStringList{"answer:1:a:accepted", "answer:1:b:accepted",
                                    "answer:1:a:reached:standby", "answer:1:b:reached:standby"})
            << "ok" << offSent << "a=reached:standby b=reached:standby" << true;
        QTest::newRow("out of order: a result first, an accepted after it")
            << (offAB + QStringList{"answer:1:a:reached:standby", "answer:1:a:accepted",
                                    "answer:1:b:refused:the line is down"})
            << "ok" << offSent << "a=reached:standby b=refused:the line is down" << true;
        QTest::newRow("silent past the answer wait, accepted past the result wait")
            << (offAB +
                QStringList{"answer:1:a:accepted", "wait:6", "answer:1:b:accepted", "wait:299"})
            << "ok" << offSent << "a=accepted:not done within 305 s b=no answer:nothing within 5 s"
            << true;
        QTest::newRow("the broker refuses one, another's refusal ignored")
            << (offAB + QStringList{"refuse:1:kavo/b/power/set", "refuse:0:kavo/a/power/set",
                                    "answer:1:a:accepted", "answer:1:a:reached:standby"})
            << "ok" << offSent
            << "a=reached:standby b=refused:the broker would not pass it on: not authorized"
            << true;
        QTest::newRow("still waiting for the result")
            << (offAB + QStringList{"answer:1:a:accepted", "answer:1:b:accepted", "wait:300"})
            << "ok" << offSent << "a=accepted: b=accepted:" << false;
        QTest::newRow("another request's answer, a projector not asked, no answer at all")
            << QStringList{"ask:mute all on:a", "answer:0:a:reached", "answer:1:z:reached",
                           "answer:1:a:none"}
            << "ok"
            << "kavo/a/action=mute all on"
            << "a=no answer:waiting for an answer" << false;
        QTest::newRow("no more than 16 open")
            << QStringList(17, QStringLiteral("ask:input 2:a"))
            << (QStringList(16, QStringLiteral("ok")) << QStringLiteral("busy")).join(' ')
            << "kavo/a/action=input 2"
            << "a=no answer:waiting for an answer" << false;
        QTest::newRow("one ended makes room")
            << (QStringList(16, QStringLiteral("ask:input 2:a")) +
                QStringList{"answer:1:a:reached:input_2", "ask:input 2:a"})
            << QStringList(17, QStringLiteral("ok")).join(' ') << "kavo/a/action=input 2"
            << "a=reached:input_2" << true;
        QTest::newRow("broker not connected")
            << QStringList{"down", "ask:power on:a"} << "not connected"
            << ""
            << "" << false;
        QTest::newRow("not an action for a building") << QStringList{"ask:freeze on:a"} << "bad"
                                                      << ""
                                                      << "" << false;
    }
    void groupActions() {
        QFETCH(QStringList, steps);
        Rig rig;
        FakeMqttLink link;
        GroupActions actions(link, rig.clock, *rig.journal, QStringLiteral("kavo"),
                             QStringLiteral("hall-a"), kManagedPowerWait + kGroupAnswerWait);
        actions.connected();
        QCOMPARE(link.subscribed, QStringList{actions.responseTopic()});
        QVERIFY(actions.responseTopic().startsWith(QLatin1String("kavo/_replies/hall-a/")));
        QJsonObject told;
        actions.setChanged([&told](const QJsonObject& request) {
            if (request.value("id").toInteger() == 1)
                told = request;
        });
        QStringList asked;
        std::vector<QByteArray> correlations{QByteArray(16, 'x')};
        for (const QString& step : steps) {
            const QStringList part = step.split(QLatin1Char(':'));
            if (part[0] == QLatin1String("down")) {
                link.connected = false;
            } else if (part[0] == QLatin1String("wait")) {
                rig.clock.advance(std::chrono::seconds(part[1].toInt()));
            } else if (part[0] == QLatin1String("refuse")) { // refuse:REQUEST:TOPIC
                actions.refused(part[2], correlations.at(part[1].toULong()), "not authorized");
            } else if (part[0] == QLatin1String("ask")) {
                const std::size_t before = link.published.size();
                const auto started = actions.start(*findAction(part[1]), part[2].split(','),
                                                   "alice@hall-a", "http:alice@192.0.2.7");
                using Refusal = GroupActions::Refusal;
                asked.append(started.refusal == Refusal::None           ? "ok"
                             : started.refusal == Refusal::Busy         ? "busy"
                             : started.refusal == Refusal::NotConnected ? "not connected"
                                                                        : "bad");
                if (link.published.size() > before)
                    correlations.push_back(link.published.back().request.correlation);
                else
                    QCOMPARE(started.refusal == Refusal::None, false);
            } else {
                GroupReply reply{part[2], GroupOutcome::NoAnswer, part.value(4)};
                for (GroupOutcome outcome : {GroupOutcome::Accepted, GroupOutcome::Refused,
                                             GroupOutcome::Reached, GroupOutcome::NotReached})
                    reply.outcome = groupOutcomeWord(outcome) == part[3] ? outcome : reply.outcome;
                QVERIFY(actions.take(actions.responseTopic(), groupReplyPayload(reply),
                                     {{}, correlations.at(part[1].toULong()), {}}));
            }
        }
        QTEST(asked.join(' '), "asked");
        // The first request's messages, each a request answered on the response topic.
        QStringList sent;
        for (const FakeMqttLink::Published& message : link.published) {
            if (message.request.correlation != correlations.at(1))
                break;
            sent.append(message.topic + "=" + message.payload);
            QCOMPARE(message.request.responseTopic, actions.responseTopic());
            QCOMPARE(message.request.requester, QStringLiteral("alice@hall-a"));
            QCOMPARE(message.request.correlation.size(), 16);
        }
        QTEST(sent.join(' '), "sent");
        const QJsonArray listed = actions.toJson();
        QJsonObject first;
        for (const QJsonValue& request : listed)
            first = request.toObject().value("id").toInteger() == 1 ? request.toObject() : first;
        QStringList replies;
        for (const QJsonValue& reply : first.value("replies").toArray())
            replies.append(reply["name"].toString() + "=" + reply["outcome"].toString() + ":" +
                           reply["detail"].toString());
        QTEST(replies.join(' '), "replies");
        QTEST(first.value("finished").toBool(), "finished");
        // The listener heard every change, the last one as it stands.
        if (first.value("replies").toArray().first()["outcome"] != "no answer")
            QCOMPARE(told, first);
    }
};

QTEST_GUILESS_MAIN(TestServiceUnits)
#include "tst_service_units.moc"
