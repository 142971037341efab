#pragma once

// Debian's mosquitto on a free loopback port with a configuration of the
// test's, and a watcher that sees every topic on it and publishes: for the
// tests of the programs that speak to a broker.

#include <functional>
#include <mosquitto.h>
#include <QDeadlineTimer>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

namespace kavo::test {

inline constexpr int kBrokerHang = 15000; // only a hang reaches it

// A user of the broker and its password.
struct Login {
    QString user;
    QByteArray password;
};

class Broker {
  public:
    // `password`: only this user and password may log in.
    explicit Broker(const QByteArray& password = {}) {
        choosePort();
        QByteArray config =
            "listener " + QByteArray::number(port) + " 127.0.0.1\npersistence false\n";
        if (password.isEmpty())
            config += "allow_anonymous true\n";
        else
            config +=
                "allow_anonymous false\npassword_file " + writeUsers({{"hall", password}}) + '\n';
        writeConfig(config);
    }
    // A configuration file as the package ships it, with its ACL file: the
    // listener moved to a free loopback port, its files to copies of the
    // test's, the password file made for `logins`.
    Broker(const QString& shippedConfig, const QString& shippedAcl, const QList<Login>& logins) {
        choosePort();
        QFile source(shippedConfig);
        source.open(QIODevice::ReadOnly);
        QByteArray config = source.readAll();
        config.replace("\nlistener 1883\n",
                       "\nlistener " + QByteArray::number(port) + " 127.0.0.1\n");
        config.replace("/etc/mosquitto/kavo.passwd", writeUsers(logins));
        const QString acl = m_dir.filePath(QStringLiteral("kavo.acl"));
        QFile::copy(shippedAcl, acl);
        QFile::setPermissions(acl, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
        config.replace("/etc/mosquitto/kavo.acl", QFile::encodeName(acl));
        writeConfig(config);
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
        m_process.waitForFinished(kBrokerHang);
    }
    QString url(const QString& user = {}) const {
        return QStringLiteral("mqtt://%1%2:%3")
            .arg(user.isEmpty() ? QString() : user + QLatin1Char('@'), QStringLiteral("127.0.0.1"))
            .arg(port);
    }
    quint16 port = 0;

  private:
    void choosePort() {
        QTcpServer free;
        free.listen(QHostAddress::LocalHost, 0);
        port = free.serverPort();
    }
    // The password file's path.
    QByteArray writeUsers(const QList<Login>& logins) {
        QFile users(m_dir.filePath(QStringLiteral("users")));
        users.open(QIODevice::WriteOnly);
        for (const Login& login : logins)
            users.write(login.user.toUtf8() + ':' + login.password + '\n');
        users.close();
        QProcess::execute(QStringLiteral("mosquitto_passwd"), {"-U", users.fileName()});
        // Started as root, the broker reads it as the user it becomes.
        QFile::setPermissions(m_dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                QFile::ReadOther | QFile::ExeOther);
        users.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
        return QFile::encodeName(users.fileName());
    }
    void writeConfig(const QByteArray& config) {
        QFile file(m_dir.filePath(QStringLiteral("mosquitto.conf")));
        file.open(QIODevice::WriteOnly);
        file.write(config);
        file.close();
        start();
    }
    QTemporaryDir m_dir;
    QProcess m_process;
};

// Sees every topic on the broker, retained ones included, and publishes.
class Watcher {
  public:
    // Anonymous, or logged in as `login`, speaking MQTT `protocol`
    // (MQTT_PROTOCOL_V5 or MQTT_PROTOCOL_V311).
    explicit Watcher(quint16 port, const Login& login = {}, int protocol = MQTT_PROTOCOL_V311) {
        mosquitto_lib_init();
        m_mosq = mosquitto_new(nullptr, true, this);
        mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, protocol);
        if (!login.user.isEmpty())
            mosquitto_username_pw_set(m_mosq, login.user.toUtf8().constData(),
                                      login.password.constData());
        mosquitto_publish_v5_callback_set(
            m_mosq, [](mosquitto*, void* self, int mid, int reason, const mosquitto_property*) {
                static_cast<Watcher*>(self)->m_acknowledged.insert(mid, reason);
            });
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
    // The broker's answer to a publish at QoS 1: its reason code (0 when
    // taken; MQTT 5 says why not, 0x87 "not authorized"), or kNotAcknowledged
    // when the connection ended or no answer came.
    static constexpr int kNotAcknowledged = -1;
    int publishAcknowledged(const QString& topic, const QByteArray& payload) {
        int mid = 0;
        if (mosquitto_publish_v5(m_mosq, &mid, topic.toUtf8().constData(), int(payload.size()),
                                 payload.constData(), 1, false, nullptr) != MOSQ_ERR_SUCCESS)
            return kNotAcknowledged;
        QDeadlineTimer deadline(kBrokerHang);
        while (!m_acknowledged.contains(mid) && !deadline.hasExpired()) {
            if (mosquitto_loop(m_mosq, 50, 1) != MOSQ_ERR_SUCCESS)
                return kNotAcknowledged;
        }
        return m_acknowledged.value(mid, kNotAcknowledged);
    }
    // The next payload of the topic (after those taken before) for which
    // `wanted` holds; empty when none came in time.
    QByteArray waitFor(const QString& topic, const std::function<bool(const QByteArray&)>& wanted,
                       int ms = kBrokerHang) {
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
    bool waitFor(const QString& topic, const QByteArray& payload, int ms = kBrokerHang) {
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
    QHash<int, int> m_acknowledged; // message id, reason code
};

} // namespace kavo::test
