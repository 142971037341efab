// kavo-projectord on an MQTT broker: Debian's mosquitto on a free loopback
// port with a configuration of the test's, the simulated projector on COM3,
// and a watcher on the broker that sees every topic.

#include "mqtt_broker.h"
#include "pty_pair.h"
#include "service_process.h"
#include "simulated_projector.h"

#include <array>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <tuple>

using namespace kavo::test;

namespace {

const QString kBase = QStringLiteral("kavo/hall-a/");

} // namespace

class TestMqtt : public QObject {
    Q_OBJECT
  private:
    QString socketPath() const { return m_runtime.path() + QStringLiteral("/hall-a.sock"); }
    QTemporaryDir m_runtime;

  private slots:
    // Discovery, then commands from topics: each publish and what follows it.
    void discoveryAndCommands() {
        TempConfigHome home;
        Broker broker;
        SimulatedProjector projector(kSim, 3, {"--warmup-ms", "2500", "--cooldown-ms", "2500"});
        Watcher watcher(broker.port);
        Service service(socketPath(), {"--name", "hall-a", "--mqtt", broker.url()});
        // The last entity published: every one is there by then.
        QVERIFY(!watcher
                     .waitFor("homeassistant/button/kavo_hall-a/command76/config",
                              [](const QByteArray&) { return true; })
                     .isEmpty());
        // Every entity: parsed as JSON, with a unique id, the device and availability.
        int entities = 0;
        for (const auto& [topic, payload] : watcher.seen()) {
            if (!topic.startsWith(QLatin1String("homeassistant/")))
                continue;
            const QJsonObject config = QJsonDocument::fromJson(payload).object();
            QVERIFY2(config.value("unique_id").toString().startsWith("kavo_hall-a_"),
                     qPrintable(topic));
            QCOMPARE(config.value("availability_topic").toString(), kBase + "availability");
            QCOMPARE(config.value("device").toObject().value("manufacturer"), "KAVO");
            QVERIFY(config.contains("state_topic") || config.contains("command_topic"));
            ++entities;
        }
        QCOMPARE(entities, 48); // switch, 2 selects, 8 sensors, problem, alert, 35 buttons
        watcher.rewind();
        QVERIFY(watcher.waitFor(kBase + "power_state", "standby"));

        // Power commands wait while the projector warms up or cools down.
        const std::array<std::array<QString, 4>, 13> steps{{
            {"lamp_mode/set", "eco1", "lamp_mode", "eco"},
            {"", "", "lamp_mode_choice", "eco1"},
            {"power/set", "ON", "power_state", "warming_up"},
            {"", "", "lamp_status", "on"},
            {"power/set", "OFF", "", "power off waits: the projector is warming_up"},
            {"", "", "power_state", "on"},
            {"", "", "power_state", "cooling_down"},
            {"power/set", "ON", "", "power on waits: the projector is cooling_down"},
            {"", "", "power_state", "standby"},
            {"", "", "power_state", "warming_up"},
            {"input/set", "input_2", "input", "input_2"},
            {"button/set", "Command25", "", "TxD: C 4 3"},
            {"command", "CR3", "reply", "\"outcome\":\"answered\",\"reply\":\"01537\\r\""},
        }};
        for (const auto& [topic, payload, expected, contains] : steps) {
            if (!topic.isEmpty())
                watcher.publish(kBase + topic, payload.toUtf8());
            if (expected.isEmpty()) {
                QVERIFY(!service.waitFor({"\tmqtt\t", contains}).isEmpty());
                continue;
            }
            const QByteArray part = contains.toUtf8();
            QVERIFY2(!watcher
                          .waitFor(kBase + expected,
                                   [&](const QByteArray& got) { return got.contains(part); })
                          .isEmpty(),
                     qPrintable(topic + " " + payload + " -> " + expected + " " + contains));
        }
    }

    // Payloads that mean nothing: a journal line each, and nothing on the
    // line. Availability: offline when the line is lost and when the service
    // is killed (the will); online again after the broker restarts.
    void badPayloadsAndAvailability() {
        TempConfigHome home;
        Broker broker;
        auto projector = std::make_unique<SimulatedProjector>(kSim, 3, QStringList{});
        Watcher watcher(broker.port);
        // Kept by the broker from some evening long past: never carried out.
        watcher.publish(kBase + "command", "C0D", true);
        Service service(socketPath(), {"--name", "hall-a", "--mqtt", broker.url()});
        QVERIFY(watcher.waitFor(kBase + "availability", "online"));
        QVERIFY(!service.waitFor({"\tmqtt\tignored a retained message on " + kBase + "command"})
                     .isEmpty());
        const std::array<std::array<QByteArray, 3>, 8> payloads{{
            {"power/set", "", "it takes ON or OFF"},
            {"power/set", "MAYBE", "it takes ON or OFF"},
            {"input/set", "\x00\xff\x1b", "it takes input_1, input_2, input_3 or wired"},
            {"lamp_mode/set", QByteArray(1024 * 1024, 'x'), "(1048576 bytes): longer than 512"},
            {"button/set", "Command99", "no such button"},
            {"button/set", "Command16", "that button sends no command"},
            {"command", "C00\rC01", "character 4 of the command is not printable ASCII"},
            {"power/set", "\xc2\x85\xe2\x80\xa8", "\"\\x85\\u2028\" (5 bytes)"},
        }};
        for (const auto& [topic, payload, journal] : payloads) {
            watcher.publish(kBase + QString::fromLatin1(topic), payload);
            QVERIFY2(!service.waitFor({"\tmqtt\tignored " + kBase + topic, journal}).isEmpty(),
                     journal.constData());
        }
        projector.reset();
        QVERIFY(watcher.waitFor(kBase + "availability", "offline"));
        // A command while the line is down goes nowhere, and says so; the next one is served.
        watcher.publish(kBase + "command", "CR0");
        QVERIFY(watcher.waitFor(kBase + "reply", "{\"answered\":false,\"command\":\"CR0\","
                                                 "\"outcome\":\"not sent\"}"));
        projector = std::make_unique<SimulatedProjector>(kSim, 3, QStringList{});
        QVERIFY(watcher.waitFor(kBase + "availability", "online"));
        watcher.publish(kBase + "command", "CR1");
        QVERIFY(
            !watcher
                 .waitFor(kBase + "reply",
                          [](const QByteArray& got) { return got.contains("\"answered\":true"); })
                 .isEmpty());
        // The only exchange MQTT caused.
        QVERIFY(!service.waitFor({"\tmqtt\tTxD: C R 1"}).isEmpty());
        QCOMPARE(service.journal().count("\tmqtt\tTxD:"), 1);
        broker.stop();
        QVERIFY(!service.waitFor({"\tmqtt\t", "was lost", "trying again in 1 s"}).isEmpty());
        broker.start();
        QVERIFY(!service.waitFor({"\tmqtt\tconnected to the MQTT broker"}).isEmpty());
        Watcher after(broker.port);
        QVERIFY(after.waitFor(kBase + "availability", "online"));
        after.rewind();
        QVERIFY(after.waitFor(kBase + "power_state", "standby"));
        service.process().kill();
        QVERIFY(after.waitFor(kBase + "availability", "offline"));
    }

    // A broker that wants a password: the right one logs in, a wrong one is
    // refused and said in the journal; the password is never shown.
    void password_data() {
        QTest::addColumn<QByteArray>("password");
        QTest::addColumn<QString>("journal");
        QTest::newRow("right") << QByteArray("lectern 7") << "connected to the MQTT broker";
        QTest::newRow("wrong") << QByteArray("lectern 8") << "refused the connection";
    }
    void password() {
        QFETCH(QByteArray, password);
        QFETCH(QString, journal);
        TempConfigHome home;
        Broker broker("lectern 7");
        const QString file = home.path() + QStringLiteral("/mqtt.password");
        QFile secret(file);
        QVERIFY(secret.open(QIODevice::WriteOnly) && secret.write(password + '\n') > 0);
        secret.close();
        SimulatedProjector projector(kSim, 3, {});
        Service service(socketPath(), {"--name", "hall-a", "--mqtt", broker.url("hall"),
                                       "--mqtt-password-file", file});
        QVERIFY(!service.waitFor({"\tmqtt\t", journal}).isEmpty());
        QCOMPARE(service.stop(), 0);
        QVERIFY(!service.journal().contains("lectern"));
    }

    // The broker configuration the package ships, as the boundary between
    // users: the service logs in as its own user and does all it does; each
    // publish below is answered by the broker as the ACL says, and only what
    // it takes reaches the service.
    void shippedBrokerAcl() {
        TempConfigHome home;
        const QList<Login> logins{{"hall-a", "lectern 7"},
                                  {"hall-b", "lectern 8"},
                                  {"alice", "operator"},
                                  {"bob", "viewer"},
                                  {"homeassistant", "hub"}};
        Broker broker(QStringLiteral(KAVO_PACKAGING_DIR "/mosquitto/kavo.conf"),
                      QStringLiteral(KAVO_PACKAGING_DIR "/mosquitto/kavo.acl"), logins);
        const QString file = home.path() + QStringLiteral("/mqtt.password");
        QFile secret(file);
        QVERIFY(secret.open(QIODevice::WriteOnly) && secret.write("lectern 7\n") > 0);
        secret.close();
        SimulatedProjector projector(kSim, 3, {});
        Service service(socketPath(), {"--name", "hall-a", "--mqtt", broker.url("hall-a"),
                                       "--mqtt-password-file", file});
        Watcher viewer(broker.port, logins[3], MQTT_PROTOCOL_V5);
        // A viewer reads the building, and nothing outside it.
        QVERIFY(viewer.waitFor(kBase + "availability", "online"));
        QVERIFY(!viewer.waitFor(kBase + "state", [](const QByteArray&) { return true; }).isEmpty());
        QVERIFY(!service.waitFor({"\tmqtt\tconnected to the MQTT broker"}).isEmpty());
        Watcher homeAssistant(broker.port, logins[4], MQTT_PROTOCOL_V5);
        QVERIFY(!homeAssistant
                     .waitFor("homeassistant/switch/kavo_hall-a/power/config",
                              [](const QByteArray&) { return true; })
                     .isEmpty());
        Watcher operatorV5(broker.port, logins[2], MQTT_PROTOCOL_V5);
        Watcher otherService(broker.port, logins[1], MQTT_PROTOCOL_V5);
        // An older client is told no limit, so it sends what it likes.
        Watcher operatorV311(broker.port, logins[2], MQTT_PROTOCOL_V311);
        Watcher anonymous(broker.port, {}, MQTT_PROTOCOL_V5);
        constexpr int kNotAuthorized = 0x87;
        const QByteArray huge(1024 * 1024, 'x');
        const std::array<std::tuple<Watcher*, QString, QByteArray, int>, 13> publishes{{
            {&anonymous, kBase + "power/set", "OFF", Watcher::kNotAcknowledged},
            {&viewer, kBase + "power/set", "OFF", kNotAuthorized},
            {&viewer, "kavo/bob/info", "{\"name\":\"bob\"}", kNotAuthorized},
            {&operatorV5, kBase + "command", "C00", kNotAuthorized},
            {&operatorV5, kBase + "availability", "offline", kNotAuthorized},
            {&operatorV5, "kavo/_replies/alice/x", "{}", kNotAuthorized},
            {&otherService, kBase + "availability", "offline", kNotAuthorized},
            {&otherService, kBase + "power/set", "OFF", kNotAuthorized},
            {&otherService, "kavo/hall-b/availability", "online", 0},
            {&operatorV5, kBase + "action", "freeze on", 0},
            {&homeAssistant, kBase + "input/set", "input_2", 0},
            {&operatorV5, kBase + "power/set", "ON", 0},
            {&operatorV311, kBase + "power/set", huge, Watcher::kNotAcknowledged},
        }};
        for (const auto& [who, topic, payload, reason] : publishes) {
            const int answer = who->publishAcknowledged(topic, payload);
            QVERIFY2(
                answer == reason,
                qPrintable(QStringLiteral("%1: %2, not %3").arg(topic).arg(answer).arg(reason)));
        }
        // Home Assistant's input and the operator's power on, and nothing
        // else, reached the projector.
        QVERIFY(!service.waitFor({"\tmqtt\tTxD: C 0 6"}).isEmpty());
        QVERIFY(!service.waitFor({"\tmqtt\tTxD: C 0 0"}).isEmpty());
        const QString journal = service.journal();
        QVERIFY(!journal.contains("\tmqtt\tTxD: C 0 1"));
        QVERIFY(!journal.contains("\tmqtt\tignored"));
        for (const auto& [topic, payload] : viewer.seen())
            QVERIFY2(topic.startsWith(QLatin1String("kavo/")), qPrintable(topic));
        QCOMPARE(service.stop(), 0);
    }
};

QTEST_GUILESS_MAIN(TestMqtt)
#include "tst_mqtt.moc"
