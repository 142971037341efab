// The web front end's units in-process, on the fake clock: sessions, the
// sign-in guard, API tokens and the metrics text (checked by promtool).

#include "api_tokens.h"
#include "fakes.h"
#include "journal.h"
#include "metrics.h"
#include "sessions.h"
#include "sign_in_guard.h"

#include <cstdio>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace kavo;
using namespace kavo::web;
using namespace kavo::test;
using namespace std::chrono_literals;

namespace {

// A journal whose lines are kept in memory, stamped by the fake clock.
class MemoryJournal {
  public:
    explicit MemoryJournal(FakeClock& clock) : m_output(open_memstream(&m_buffer, &m_size)) {
        journal = std::make_unique<service::Journal>(m_output, [&clock] {
            return QDateTime::fromMSecsSinceEpoch(clock.now().count(), Qt::UTC);
        });
    }
    ~MemoryJournal() {
        journal.reset();
        std::fclose(m_output);
        std::free(m_buffer);
    }
    QString text() {
        std::fflush(m_output);
        return QString::fromUtf8(m_buffer, qsizetype(m_size));
    }
    std::unique_ptr<service::Journal> journal;

  private:
    std::FILE* m_output;
    char* m_buffer = nullptr;
    std::size_t m_size = 0;
};

} // namespace

class TestWebAuth : public QObject {
    Q_OBJECT

  private slots:
    // Minutes between a session's uses; whether the last one still finds it.
    void sessionIdle_data() {
        QTest::addColumn<QList<int>>("gaps");
        QTest::addColumn<bool>("found");
        QTest::newRow("at once") << QList<int>{0} << true;
        QTest::newRow("just under 8 hours") << QList<int>{479} << true;
        QTest::newRow("8 hours idle") << QList<int>{480} << false;
        QTest::newRow("each use restarts the idle clock") << QList<int>{400, 400, 400} << true;
        QTest::newRow("gone once idle, even if used again") << QList<int>{480, 0} << false;
    }
    void sessionIdle() {
        QFETCH(QList<int>, gaps);
        QFETCH(bool, found);
        FakeClock clock;
        Sessions sessions(clock);
        const QByteArray id = sessions.create("alice", service::Role::Operator, {}).id;
        const Session* session = nullptr;
        for (const int minutes : gaps) {
            clock.advance(std::chrono::minutes(minutes));
            session = sessions.use(id);
        }
        QCOMPARE(session != nullptr, found);
        QCOMPARE(sessions.count(), found ? 1u : 0u);
    }

    // Cookies and CSRF tokens that are not the session's own.
    void sessionForgeries_data() {
        QTest::addColumn<QByteArray>("cookie");
        QTest::addColumn<bool>("found");
        QTest::addColumn<QByteArray>("csrf");
        QTest::addColumn<bool>("csrfMatches");
        QTest::newRow("its own") << QByteArray("id") << true << QByteArray("csrf") << true;
        QTest::newRow("last digit changed")
            << QByteArray("id~") << false << QByteArray("csrf~") << false;
        QTest::newRow("cut short") << QByteArray("id-") << false << QByteArray("csrf-") << false;
        QTest::newRow("another session's")
            << QByteArray("other") << false << QByteArray("other") << false;
        QTest::newRow("each other's") << QByteArray("csrf") << false << QByteArray("id") << false;
        QTest::newRow("empty") << QByteArray() << false << QByteArray() << false;
    }
    void sessionForgeries() {
        QFETCH(QByteArray, cookie);
        QFETCH(bool, found);
        QFETCH(QByteArray, csrf);
        QFETCH(bool, csrfMatches);
        FakeClock clock;
        Sessions sessions(clock);
        const Session own = sessions.create("alice", service::Role::Admin, QHostAddress::LocalHost);
        const Session other = sessions.create("bob", service::Role::Viewer, {});
        QVERIFY(QByteArray::fromHex(own.id).toHex() == own.id && own.id.size() == 64);
        QVERIFY(own.csrfToken.size() == 64 && own.csrfToken != own.id && other.id != own.id);
        // "id", "csrf": the session's own; "other": the other session's of the same kind.
        const auto forged = [&](const QByteArray& text, bool cookieSide) {
            const QByteArray base = text.startsWith("id")     ? own.id
                                    : text.startsWith("csrf") ? own.csrfToken
                                    : text.isEmpty()          ? QByteArray()
                                    : cookieSide              ? other.id
                                                              : other.csrfToken;
            if (text.endsWith('~'))
                return base.left(63) + (base.endsWith('0') ? "1" : "0");
            return text.endsWith('-') ? base.left(63) : base;
        };
        const Session* session = sessions.use(forged(cookie, true));
        QCOMPARE(session && session->name == QStringLiteral("alice"), found);
        QCOMPARE(Sessions::csrfMatches(own, forged(csrf, false)), csrfMatches);
        sessions.end(own.id);
        QVERIFY(!sessions.use(own.id));
    }

    // Sessions made for `accounts` accounts in turn, `each` per account; the
    // first one used again before the last unless `untouched`.
    void sessionLimits_data() {
        QTest::addColumn<int>("accounts");
        QTest::addColumn<int>("each");
        QTest::addColumn<bool>("touchFirst");
        QTest::addColumn<int>("held");
        QTest::addColumn<bool>("firstKept");
        QTest::addColumn<int>("othersHeld");
        QTest::newRow("32 for one account") << 1 << 32 << false << 32 << true << 0;
        QTest::newRow("the 33rd ends the least recently used")
            << 1 << 33 << false << 32 << false << 0;
        QTest::newRow("which is not the first when it was used")
            << 1 << 33 << true << 32 << true << 0;
        QTest::newRow("32 for each of two") << 2 << 40 << false << 64 << false << 32;
        QTest::newRow("32 for each of two, the used one kept")
            << 2 << 40 << true << 64 << true << 32;
        QTest::newRow("1024 in all") << 40 << 26 << false << 1024 << false << 999;
        QTest::newRow("1024 in all, the used one kept") << 40 << 26 << true << 1024 << true << 998;
    }
    void sessionLimits() {
        QFETCH(int, accounts);
        QFETCH(int, each);
        QFETCH(bool, touchFirst);
        QFETCH(int, held);
        QFETCH(bool, firstKept);
        QFETCH(int, othersHeld);
        FakeClock clock;
        Sessions sessions(clock);
        const QByteArray first = sessions.create("user0", service::Role::Viewer, {}).id;
        for (int made = 1; made < accounts * each; ++made) {
            clock.advance(1s);
            if (touchFirst && made == held)
                sessions.use(first);
            sessions.create(QStringLiteral("user%1").arg(made % accounts), service::Role::Viewer,
                            {});
        }
        QCOMPARE(sessions.count(), std::size_t(held));
        QCOMPARE(sessions.use(first) != nullptr, firstKept);
        sessions.endAllOf("user0");
        QCOMPARE(sessions.count(), std::size_t(othersHeld));
    }

    // Steps: "N NAME ADDRESS" N wrong passwords, "ok NAME ADDRESS" a sign-in,
    // "wait S" seconds pass; then how long NAME from ADDRESS is paused.
    void signInGuard_data() {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("probe");
        QTest::addColumn<int>("paused"); // seconds, 0 for open
        QTest::addColumn<QStringList>("lines");
        const QString started =
            "http:192.0.2.7\tsign-in for alice paused for 30 s after 5 wrong passwords";
        QTest::newRow("four wrong")
            << QStringList{"4 alice 192.0.2.7"} << "alice 192.0.2.7" << 0 << QStringList{};
        QTest::newRow("five pause the name anywhere")
            << QStringList{"5 alice 192.0.2.7", "wait 10"} << "alice 198.51.100.1" << 20
            << QStringList{started};
        QTest::newRow("not other names")
            << QStringList{"5 alice 192.0.2.7"} << "bob 198.51.100.1" << 0 << QStringList{};
        QTest::newRow("the pause ends with its count")
            << QStringList{"5 alice 192.0.2.7", "wait 10", "2 alice 192.0.2.7", "wait 20"}
            << "alice 192.0.2.7" << 0
            << QStringList{started, "sign-in for alice open again; 2 attempts during the pause"};
        QTest::newRow("a further burst doubles")
            << QStringList{"5 alice 192.0.2.7", "wait 30", "5 alice 192.0.2.7"} << "alice 192.0.2.7"
            << 60 << QStringList{started, "open again; 0 attempts", "alice paused for 60 s"};
        QTest::newRow("a success ends the run")
            << QStringList{"5 alice 192.0.2.7", "wait 30", "ok alice 192.0.2.7",
                           "5 alice 192.0.2.7"}
            << "alice 192.0.2.7" << 30 << QStringList{started, started};
        QStringList bursts;
        for (int burst = 0; burst < 9; ++burst)
            bursts << "5 alice 192.0.2.7"
                   << "wait 3600";
        bursts.removeLast();
        QTest::newRow("at most an hour")
            << bursts << "alice 192.0.2.7" << 3600 << QStringList{"paused for 3600 s"};
        QTest::newRow("twenty from one address for any names")
            << QStringList{"4 a 192.0.2.7", "4 b 192.0.2.7", "4 c 192.0.2.7", "4 d 192.0.2.7",
                           "4 e ::ffff:192.0.2.7"}
            << "f 192.0.2.7" << 30
            << QStringList{"sign-in from 192.0.2.7 paused for 30 s after 20 wrong passwords"};
        QTest::newRow("attempts while paused count for the address")
            << QStringList{"5 alice 192.0.2.7", "15 alice 192.0.2.7"} << "bob 192.0.2.7" << 30
            << QStringList{};
        QTest::newRow("the address's run outlives a success")
            << QStringList{"19 x 192.0.2.7", "ok alice 192.0.2.7", "1 y 192.0.2.7"} << "z 192.0.2.7"
            << 30 << QStringList{};
        QTest::newRow("names shown escaped")
            << QStringList{"5 eve\x1b[2J 192.0.2.7"} << "bob 192.0.2.7" << 0
            << QStringList{"sign-in for eve\\x1b[2J paused"};
        QStringList flood{"4 alice 192.0.2.7"};
        for (int name = 0; name < int(kMostFollowed); ++name)
            flood << QStringLiteral("1 n%1 10.0.%2.%3").arg(name).arg(name / 200).arg(name % 200);
        QTest::newRow("the oldest name forgotten past 4096")
            << (flood << "1 alice 192.0.2.7") << "alice 192.0.2.7" << 0 << QStringList{};
    }
    void signInGuard() {
        QFETCH(QStringList, steps);
        QFETCH(QString, probe);
        QFETCH(int, paused);
        QFETCH(QStringList, lines);
        FakeClock clock;
        MemoryJournal journal(clock);
        SignInGuard guard(clock, *journal.journal);
        int waited = 0;
        for (const QString& step : steps) {
            const QStringList words = step.split(' ');
            if (words[0] == "wait") {
                waited += words[1].toInt();
                clock.advance(std::chrono::seconds(words[1].toInt()));
            } else if (words[0] == "ok")
                guard.succeeded(words[1], QHostAddress(words[2]));
            for (int wrong = 0; wrong < words[0].toInt(); ++wrong)
                guard.failed(words[1], QHostAddress(words[2]));
        }
        const QStringList asked = probe.split(' ');
        const auto left = guard.pausedFor(asked[0], QHostAddress(asked[1]));
        QCOMPARE(left.value_or(0s).count(), paused);
        const QString text = journal.text();
        qsizetype from = 0;
        for (const QString& line : lines) {
            from = text.indexOf(line, from);
            QVERIFY2(from >= 0, qPrintable(line + " not in order in\n" + text));
        }
        // Wrong passwords from one address are summarised, not a line each.
        const auto periods = 1 + waited / service::kComplaintPeriod.count();
        QVERIFY(text.count("\thttp:192.0.2.7\twrong password") <=
                service::kComplaintBurst * periods);
    }

    // The 33rd token and bad labels are refused; what is saved loads again.
    void apiTokens_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("label");
        QTest::addColumn<int>("before");
        QTest::addColumn<bool>("made");
        QTest::newRow("plain") << "alice"
                               << "nightly: power off" << 0 << true;
        QTest::newRow("64 characters beyond the BMP")
            << "alice" << QString("\U0001F4FD").repeated(64) << 0 << true;
        QTest::newRow("the 32nd") << "alice"
                                  << "x" << 31 << true;
        QTest::newRow("the 33rd") << "alice"
                                  << "x" << 32 << false;
        QTest::newRow("no account's name") << "al:ice"
                                           << "x" << 0 << false;
        QTest::newRow("empty label") << "alice"
                                     << "" << 0 << false;
        QTest::newRow("65 characters") << "alice" << QString(65, 'x') << 0 << false;
        QTest::newRow("a control character") << "alice"
                                             << "a\nb" << 0 << false;
    }
    void apiTokens() {
        QFETCH(QString, name);
        QFETCH(QString, label);
        QFETCH(int, before);
        QFETCH(bool, made);
        ApiTokens tokens;
        const QDateTime now = QDateTime::fromString("2026-03-04T05:06:07.890Z", Qt::ISODateWithMs);
        QString error;
        const auto bob = tokens.create("bob", "bob's", now, error);
        for (int made = 0; made < before; ++made)
            QVERIFY(tokens.create(name, "x", now, error));
        const auto created = tokens.create(name, label, now, error);
        QCOMPARE(bool(created), made);
        QCOMPARE(error.isEmpty(), made);
        QCOMPARE(tokens.of(name).size(), std::size_t(before + (made ? 1 : 0)));
        if (!created)
            return;
        const auto& [text, entry] = *created;
        QVERIFY(text.startsWith("kavo_") && text.size() == 69 && entry.id.size() == 8);
        QTemporaryDir folder;
        const QString path = tokensPathOf(folder.filePath("users"));
        QVERIFY(tokens.save(path).isEmpty());
        QCOMPARE(QFile::permissions(path) & ~(QFile::ReadUser | QFile::WriteUser),
                 QFile::ReadOwner | QFile::WriteOwner);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly) && !file.readAll().contains(text.mid(5)));
        auto read = ApiTokens::load(path, error);
        QVERIFY2(read, qPrintable(error));
        const ApiToken* found = read->find(text);
        QVERIFY(found && found->name == name && found->label == label && found->id == entry.id);
        QCOMPARE(found->created, QDateTime::fromString("2026-03-04T05:06:07Z", Qt::ISODate));
        QCOMPARE(read->find(bob->first)->name, QStringLiteral("bob"));
        QVERIFY(!read->find(text.left(68) + (text.endsWith('0') ? "1" : "0")) &&
                !read->find(text.mid(5)));
        QVERIFY(!read->revoke("bob", entry.id) && read->revoke(name, entry.id) &&
                !read->find(text));
        read->removeAllOf("bob");
        QVERIFY(!read->find(bob->first));
    }

    void apiTokensFile_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("error"); // empty: loads
        const QByteArray hash(64, 'a');
        QTest::newRow("comments and blank lines") << QByteArray("# tokens\n\n") << "";
        QTest::newRow("good") << "alice:0123abcd:20260304T050607Z:cron%3A%20job:" + hash + "\n"
                              << "";
        QTest::newRow("four fields")
            << "alice:0123abcd:20260304T050607Z:" + hash << "line 1: not NAME";
        QTest::newRow("short id") << "\nalice:0123abc:20260304T050607Z:x:" + hash
                                  << "line 2: the id";
        QTest::newRow("bad time") << "alice:0123abcd:2026-03-04:x:" + hash << "line 1: the time";
        QTest::newRow("upper-case hash")
            << "alice:0123abcd:20260304T050607Z:x:" + hash.toUpper() << "the hash";
        QTest::newRow("an id twice") << "alice:0123abcd:20260304T050607Z:x:" + hash +
                                            "\nbob:0123abcd:20260304T050607Z:y:" + hash
                                     << "line 2: the id 0123abcd is there twice";
        QTest::newRow("an endless line") << QByteArray(100000, 'a') << "line 1: longer";
    }
    void apiTokensFile() {
        QFETCH(QByteArray, content);
        QFETCH(QString, error);
        QTemporaryDir folder;
        QFile file(folder.filePath("users.tokens"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
        file.close();
        QString said;
        QCOMPARE(bool(ApiTokens::load(file.fileName(), said)), error.isEmpty());
        QVERIFY2(said.contains(error), qPrintable(said));
        QVERIFY(ApiTokens::load(folder.filePath("none"), said));
    }

    // Every text must pass promtool's check and lint and hold `lines`.
    void metrics_data() {
        QTest::addColumn<bool>("lineOpen");
        QTest::addColumn<QByteArray>("state");
        QTest::addColumn<QStringList>("exchanges"); // "who|outcome|seconds"
        QTest::addColumn<QByteArray>("clients");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QStringList>("absent");
        QTest::newRow("nothing known")
            << false << QByteArray("{}") << QStringList{} << QByteArray("{}")
            << QStringList{"kavo_up 0", "kavo_power_state{state=\"on\"} 0",
                           "kavo_clients{kind=\"websocket\"} 0",
                           "kavo_exchange_duration_seconds_count 0"}
            << QStringList{" 1\n", "\nkavo_lamp_usage_seconds ", "kavo_temperature_celsius{"};
        QTest::newRow("on, all read")
            << true
            << QByteArray(
                   R"({"power":"on","lamp_hours":1537,"temperatures_c":[24,25.5,26],"lamp_status":"on"})")
            << QStringList{} << QByteArray(R"({"tcp":2,"http":1})")
            << QStringList{"kavo_up 1",
                           "kavo_power_state{state=\"on\"} 1",
                           "kavo_lamp_usage_seconds 5533200",
                           "kavo_temperature_celsius{sensor=\"2\"} 25.5",
                           "kavo_error{type=\"lamp_failure\"} 0",
                           "kavo_clients{kind=\"tcp\"} 2"}
            << QStringList{"kavo_power_state{state=\"standby\"} 1"};
        QTest::newRow("faults") << true
                                << QByteArray(
                                       R"({"power":"temperature_fault","lamp_status":"failure"})")
                                << QStringList{} << QByteArray("{}")
                                << QStringList{"kavo_error{type=\"temperature_fault\"} 1",
                                               "kavo_error{type=\"lamp_failure\"} 1",
                                               "kavo_power_state{state=\"temperature_fault\"} 1"}
                                << QStringList{"kavo_error{type=\"power_fault\"} 1"};
        QTest::newRow("exchanges")
            << true << QByteArray("{}")
            << QStringList{"poll|answered|0.02", "tcp|no answer|2", "tcp|no answer|4.5",
                           "x\"y|bad\nword|-1", "unix|line lost|9"}
            << QByteArray("{\"odd \\\"kind\\\"\\n\":1}")
            << QStringList{"kavo_exchanges_total{who_kind=\"poll\",outcome=\"answered\"} 1",
                           "kavo_exchanges_total{who_kind=\"tcp\",outcome=\"no_answer\"} 2",
                           "kavo_exchanges_total{who_kind=\"other\",outcome=\"other\"} 1",
                           "kavo_exchange_duration_seconds_bucket{le=\"0.025\"} 2",
                           "kavo_exchange_duration_seconds_bucket{le=\"2.5\"} 3",
                           "kavo_exchange_duration_seconds_bucket{le=\"5\"} 4",
                           "kavo_exchange_duration_seconds_bucket{le=\"+Inf\"} 5",
                           "kavo_exchange_duration_seconds_sum 15.52",
                           "kavo_clients{kind=\"odd \\\"kind\\\"\\n\"} 1"}
            << QStringList{"x\"y"};
    }
    void metrics() {
        QFETCH(bool, lineOpen);
        QFETCH(QByteArray, state);
        QFETCH(QStringList, exchanges);
        QFETCH(QByteArray, clients);
        QFETCH(QStringList, lines);
        QFETCH(QStringList, absent);
        Metrics metrics;
        for (const QString& exchange : exchanges) {
            const QStringList parts = exchange.split('|');
            metrics.exchangeEnded(parts[0], parts[1], parts[2].toDouble());
        }
        MetricsSnapshot snapshot{lineOpen, QJsonDocument::fromJson(state).object(), {}};
        const QJsonObject kinds = QJsonDocument::fromJson(clients).object();
        for (auto kind = kinds.begin(); kind != kinds.end(); ++kind)
            snapshot.clients[kind.key()] = kind.value().toInt();
        const QByteArray text = metrics.text(snapshot);
        for (const QString& line : lines)
            QVERIFY2(text.contains(line.toUtf8() + '\n'), qPrintable(line + " not in\n" + text));
        for (const QString& part : absent)
            QVERIFY2(!text.contains(part.toUtf8()), qPrintable(part + " in\n" + text));
        QProcess promtool;
        promtool.start(PROMTOOL_PATH, {"check", "metrics"});
        QVERIFY(promtool.waitForStarted());
        promtool.write(text);
        promtool.closeWriteChannel();
        QVERIFY(promtool.waitForFinished());
        const QByteArray said = promtool.readAllStandardOutput() + promtool.readAllStandardError();
        QVERIFY2(promtool.exitCode() == 0 && said.isEmpty(), said + "\n" + text);
    }
};

QTEST_GUILESS_MAIN(TestWebAuth)
#include "tst_web_auth.moc"
