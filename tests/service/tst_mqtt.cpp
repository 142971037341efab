// kavo-projectord on an MQTT broker: Debian's mosquitto on a free loopback
// port with a configuration of the test's, the simulated projector on COM3,
// and a watcher on the broker that sees every topic.

#include "pty_pair.h"
#include "service_process.h"
#include "simulated_projector.h"

#include <mosquitto.h>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace kavo::test;

namespace {

class Broker {
  public:
    // `password`: only this user and password may log in.
    explicit Broker(const QByteArray& password = {}) {
        QTcpServer free;
        free.listen(QHostAddress::LocalHost, 0);
        port = free.serverPort();
        free.close();
        QByteArray config =
            "listener " + QByteArray::number(port) + " 127.0.0.1\npersistence false\n";
        if (password.isEmpty()) {
            config += "allow_anonymous true\n";
        } else {
            QFile users(m_dir.filePath(QStringLiteral("users")));
            users.open(QIODevice::WriteOnly);
            users.write("hall:" + password + '\n');
            users.close();
            QProcess::execute(QStringLiteral("mosquitto_passwd"), {"-U", users.fileName()});
            // Started as root, the broker reads it as the user it becomes.
            QFile::setPermissions(m_dir.path(), QFile::ReadOwner | QFile::WriteOwner |
                                                    QFile::ExeOwner | QFile::ReadOther |
                                                    QFile::ExeOther);
            users.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
            config += "allow_anonymous false\npassword_file " +
                      QFile::encodeName(users.fileName()) + '\n';
        }
        QFile file(m_dir.filePath(QStringLiteral("mosquitto.conf")));
        file.open(QIODevice::WriteOnly);
        file.write(config);
        file.close();
        start();
    }
    ~Broker() { stop(); }
    void start() {
        m_process.start(QStringLiteral("mosquitto"),
                        {"-c", m_dir.filePath(QStringLiteral("mosquitto.conf"))});
        QTcpSocket probe;
        for (int attempt = 0; attempt < 100 && probe.state() != QAbstractSocket::ConnectedState;
             ++attempt) {
            probe.connectToHost(QHostAddress::LocalHost, port);
            if (!probe.waitForConnected(100))
                QTest::qWait(50);
        }
    }
    void stop() {
        m_process.terminate();
        m_process.waitForFinished(kHang);
    }
    QString url(const QString& user = {}) const {
        return QStringLiteral("mqtt://%1%2:%3")
            .arg(user.isEmpty() ? QString() : user + QLatin1Char('@'), QStringLiteral("127.0.0.1"))
            .arg(port);
    }
    quint16 port = 0;

  private:
    QTemporaryDir m_dir;
    QProcess m_process;
};

// Sees every topic on the broker, retained ones included, and publishes.
class Watcher {
  public:
    explicit Watcher(quint16 port) {
        mosquitto_lib_init();
        m_mosq = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(
            m_mosq, [](mosquitto*, void* self, const mosquitto_message* message) {
                static_cast<Watcher*>(self)->m_seen.append(
                    {QString::fromUtf8(message->topic),
                     QByteArray(static_cast<const char*>(message->payload), message->payloadlen)});
            });
        mosquitto_connect(m_mosq, "127.0.0.1", port, 30);
        mosquitto_subscribe(m_mosq, nullptr, "#", 1);
    }
    ~Watcher() { mosquitto_destroy(m_mosq); }
    void publish(const QString& topic, const QByteArray& payload, bool retain = false) {
        mosquitto_publish(m_mosq, nullptr, topic.toUtf8().constData(), int(payload.size()),
                          payload.constData(), 1, retain);
        mosquitto_loop(m_mosq, 10, 1);
    }
    // The next payload of the topic (after those taken before) for which
    // `wanted` holds; empty when none came in time.
    QByteArray waitFor(const QString& topic, const std::function<bool(const QByteArray&)>& wanted,
                       int ms = kHang) {
        QDeadlineTimer deadline(ms);
        do {
            for (qsizetype n = m_taken; n < m_seen.size(); ++n) {
                if (m_seen[n].first == topic && wanted(m_seen[n].second)) {
                    m_taken = n + 1;
                    return m_seen[n].second;
                }
            }
            mosquitto_loop(m_mosq, 50, 1);
        } while (!deadline.hasExpired());
        return {};
    }
    bool waitFor(const QString& topic, const QByteArray& payload, int ms = kHang) {
        return !waitFor(
                    topic, [&](const QByteArray& got) { return got == payload; }, ms)
                    .isEmpty();
    }
    QList<std::pair<QString, QByteArray>> seen() const { return m_seen; }
    // The next wait looks at every message again: retained ones come in no set order.
    void rewind() { m_taken = 0; }

  private:
    mosquitto* m_mosq = nullptr;
    QList<std::pair<QString, QByteArray>> m_seen;
    qsizetype m_taken = 0;
};

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
};

QTEST_GUILESS_MAIN(TestMqtt)
#include "tst_mqtt.moc"
