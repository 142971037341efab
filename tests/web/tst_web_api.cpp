// The web page's API in-process, on the fake line and clock: every route's
// answer by role, CSRF token, content type and parameter, what reaches the
// line, sign-in and tokens, and the events the page is told.

#include "accounts.h"
#include "event_streams.h"
#include "fakes.h"
#include "group_actions.h"
#include "queue_rig.h"
#include "scheduler.h"
#include "web_api.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QWebSocket>
#include <QWebSocketServer>

using namespace kavo;
using namespace kavo::test;
using namespace kavo::web;

namespace {

struct Answer {
    int status = 0;
    QJsonObject json;
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
};

// The API on the queue rig, with a viewer, an operator and an admin.
class ApiRig {
  public:
    explicit ApiRig(bool accounts = true) {
        WebSettings settings{
            QStringLiteral("hall-a"), QStringLiteral("Room 2.14"), {}, false, false, false};
        if (accounts) {
            settings.usersFile = m_folder.filePath(QStringLiteral("users"));
            service::Accounts file;
            file.set(QStringLiteral("vera"), service::Role::Viewer, "vera-pw");
            file.set(QStringLiteral("olly"), service::Role::Operator, "olly-pw");
            file.set(QStringLiteral("adam"), service::Role::Admin, "adam-pw");
            file.save(settings.usersFile);
        }
        api = std::make_unique<WebApi>(*rig.queue, rig.clock, *rig.journal, settings, [this] {
            return LineFacts{rig.line.isOpen(), QStringLiteral("/dev/ttyUSB0"), {}, {}};
        });
        api->setEvents([this](const QJsonObject& message) { events.append(message); });
        api->setAlerts([] {
            return QJsonObject{{"open", QJsonArray{QJsonObject{{"event", "lamp_hours"}}}},
                               {"events", QJsonArray()}};
        });
        QVERIFY(api->start().isEmpty());
        // Monday to Friday at 22:00, seen at noon on Wednesday 2026-12-09 in Berlin.
        QFile schedule(m_folder.filePath(QStringLiteral("schedule")));
        QVERIFY(schedule.open(QIODevice::WriteOnly) && schedule.write("mon-fri 22:00 power off"));
        schedule.close();
        const QDateTime noon(QDate(2026, 12, 9), QTime(12, 0), QTimeZone("Europe/Berlin"));
        scheduler = std::make_unique<service::Scheduler>(
            *rig.queue, rig.clock, *rig.journal,
            service::SchedulerSettings{
                schedule.fileName(), service::kDefaultCatchUp, noon.timeZone(),
                [this, noon] { return noon.addMSecs(rig.clock.now().count()); }});
        QVERIFY(scheduler->start().isEmpty());
        api->setScheduler(scheduler.get());
        rig.queue->lineOpened();
    }

    // A building of three on a broker: hall-a and hall-b on floor-2.
    void joinBuilding() {
        api->setBuilding([] {
            QJsonArray rows;
            for (const auto& [name, groups] : {std::pair{"hall-a", QJsonArray{"floor-2"}},
                                               {"hall-b", QJsonArray{"floor-2"}},
                                               {"hall-c", QJsonArray{}}})
                rows.append(QJsonObject{{"name", name}, {"groups", groups}});
            return QJsonObject{{"projectors", rows}};
        });
        api->setGroupActions(&groupActions);
    }

    Answer call(QByteArray method, const QString& target, const QByteArray& body = {},
                QList<QPair<QByteArray, QByteArray>> headers = {},
                const QHostAddress& peer = QHostAddress::LocalHost) {
        ApiRequest request;
        request.method = method;
        const QUrl url(target);
        request.path = url.path();
        request.query = QUrlQuery(url);
        request.body = body;
        if (!body.isEmpty() && !headers.contains({"Content-Type", "text/plain"}))
            headers.append(
                {QByteArrayLiteral("Content-Type"), QByteArrayLiteral("application/json")});
        request.headers = headers;
        request.peer = peer;
        std::optional<ApiResponse> answer;
        api->handle(request, [&answer](const ApiResponse& response) { answer = response; });
        for (int waited = 0; !answer && waited < 30000; waited += 10)
            rig.run(10ms);
        if (!answer)
            return {};
        return {answer->status, QJsonDocument::fromJson(answer->body).object(), answer->body,
                answer->headers};
    }

    // The headers of a signed-in request of `name`: its cookie and CSRF token.
    QList<QPair<QByteArray, QByteArray>> signIn(const QString& name) {
        const Answer answer =
            call("POST", QStringLiteral("/api/v1/session"),
                 QStringLiteral(R"({"name":"%1","password":"%1-pw"})").arg(name).toUtf8());
        QByteArray cookie;
        for (const auto& [header, value] : answer.headers) {
            if (header == "Set-Cookie")
                cookie = value.left(value.indexOf(';'));
        }
        return {{"Cookie", cookie},
                {"X-CSRF-Token",
                 answer.json.value(QStringLiteral("csrf_token")).toString().toLatin1()}};
    }

    QTemporaryDir m_folder;
    Rig rig;
    FakeMqttLink link;
    service::GroupActions groupActions{link,
                                       rig.clock,
                                       *rig.journal,
                                       QStringLiteral("kavo"),
                                       QStringLiteral("hall-a"),
                                       service::kGroupAnswerWait};
    QList<QJsonObject> events;
    std::unique_ptr<service::Scheduler> scheduler;
    std::unique_ptr<WebApi> api;
};

} // namespace

class TestWebApi : public QObject {
    Q_OBJECT

  private slots:
    void routes_data() {
        QTest::addColumn<QString>("as");
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("contains");
        QTest::addColumn<QStringList>("sent");

        const QStringList none;
        QTest::newRow("state for a viewer")
            << "vera" << QByteArray("GET") << "/api/v1/state" << QByteArray() << 200
            << "\"power_words\":\"Standby\"" << none;
        QTest::newRow("state unsigned") << "" << QByteArray("GET") << "/api/v1/state"
                                        << QByteArray() << 401 << "sign in" << none;
        QTest::newRow("a forged cookie") << "forged" << QByteArray("GET") << "/api/v1/state"
                                         << QByteArray() << 401 << "sign in" << none;
        QTest::newRow("a viewer presses") << "vera" << QByteArray("POST") << "/api/v1/button/1"
                                          << QByteArray() << 403 << "viewer" << none;
        QTest::newRow("an operator presses")
            << "olly" << QByteArray("POST") << "/api/v1/button/1" << QByteArray() << 200
            << "\"command\":\"C09\"" << QStringList{"C09"};
        QTest::newRow("no CSRF token") << "olly-nocsrf" << QByteArray("POST") << "/api/v1/button/1"
                                       << QByteArray() << 403 << "X-CSRF-Token" << none;
        QTest::newRow("no such button") << "olly" << QByteArray("POST") << "/api/v1/button/77"
                                        << QByteArray() << 404 << "no button" << none;
        QTest::newRow("an input") << "olly" << QByteArray("POST") << "/api/v1/input"
                                  << QByteArray(R"({"input":"2"})") << 200 << "exchanges"
                                  << QStringList{"C06"};
        QTest::newRow("no such input") << "olly" << QByteArray("POST") << "/api/v1/input"
                                       << QByteArray(R"({"input":"5"})") << 400 << "input" << none;
        QTest::newRow("malformed JSON") << "olly" << QByteArray("POST") << "/api/v1/input"
                                        << QByteArray(R"({"input":)") << 400 << "JSON" << none;
        QTest::newRow("not JSON") << "olly-text" << QByteArray("POST") << "/api/v1/input"
                                  << QByteArray("input=2") << 415 << "JSON" << none;
        QTest::newRow("mute all") << "olly" << QByteArray("POST") << "/api/v1/mute"
                                  << QByteArray(R"({"what":"all","on":true})") << 200 << "exchanges"
                                  << QStringList{"C0D", "C0B"};
        QTest::newRow("an action")
            << "olly" << QByteArray("POST") << "/api/v1/action"
            << QByteArray(R"({"name":"freeze on"})") << 200 << "exchanges" << QStringList{"C43"};
        QTest::newRow("a command")
            << "olly" << QByteArray("POST") << "/api/v1/command"
            << QByteArray(R"({"command":"C0D"})") << 200 << "\"sent_trace\"" << QStringList{"C0D"};
        QTest::newRow("a command with a CR")
            << "olly" << QByteArray("POST") << "/api/v1/command"
            << QByteArray(R"({"command":"C00\rC01"})") << 400 << "" << none;
        QTest::newRow("power to nowhere")
            << "olly" << QByteArray("POST") << "/api/v1/power" << QByteArray(R"({"state":"up"})")
            << 400 << "state" << none;
        QTest::newRow("accounts for an operator") << "olly" << QByteArray("GET") << "/api/v1/users"
                                                  << QByteArray() << 403 << "operator" << none;
        QTest::newRow("accounts for an admin") << "adam" << QByteArray("GET") << "/api/v1/users"
                                               << QByteArray() << 200 << "\"olly\"" << none;
        QTest::newRow("the last admin stays")
            << "adam" << QByteArray("PUT") << "/api/v1/users/adam"
            << QByteArray(R"({"role":"viewer"})") << 409 << "last admin" << none;
        QTest::newRow("a new account")
            << "adam" << QByteArray("PUT") << "/api/v1/users/nina"
            << QByteArray(R"({"role":"viewer","password":"n"})") << 201 << "nina" << none;
        QTest::newRow("no such page") << "vera" << QByteArray("GET") << "/api/v1/../etc/passwd"
                                      << QByteArray() << 404 << "no such" << none;
        QTest::newRow("a wrong method") << "vera" << QByteArray("PUT") << "/api/v1/state"
                                        << QByteArray() << 405 << "GET" << none;
        QTest::newRow("alerts for a viewer")
            << "vera" << QByteArray("GET") << "/api/v1/alerts" << QByteArray() << 200
            << R"("open":[{"event":"lamp_hours"}])" << none;
        QTest::newRow("the schedule for a viewer")
            << "vera" << QByteArray("GET") << "/api/v1/schedule" << QByteArray() << 200
            << R"("time":"2026-12-09T22:00:00+01:00")" << none;
        QTest::newRow("an operator edits the schedule")
            << "olly" << QByteArray("PUT") << "/api/v1/schedule"
            << QByteArray(R"({"text":"sat 09:00 power on"})") << 403 << "operator" << none;
        QTest::newRow("a wrong schedule")
            << "adam" << QByteArray("PUT") << "/api/v1/schedule"
            << QByteArray(R"({"text":"sat 09:00 power on\nsun 9 power on"})") << 400
            << "line 2: \\\"9\\\" is no time" << none;
        QTest::newRow("a new schedule") << "adam" << QByteArray("PUT") << "/api/v1/schedule"
                                        << QByteArray(R"({"text":"sat 09:00 power on"})") << 200
                                        << R"("time":"2026-12-12T09:00:00+01:00")" << none;
        QTest::newRow("the schedule paused")
            << "adam" << QByteArray("POST") << "/api/v1/schedule/pause" << QByteArray() << 200
            << R"("paused":true)" << none;
        QTest::newRow("the building without a broker")
            << "vera" << QByteArray("GET") << "/api/v1/building" << QByteArray() << 404
            << "no MQTT broker" << none;
        const QString group = QStringLiteral("/api/v1/building/action");
        const QByteArray floorOff = R"({"action":"power off","group":"floor-2"})";
        const QByteArray floorOn = R"({"action":"power on","group":"floor-2"})";
        QTest::newRow("a group powered off")
            << "olly" << QByteArray("POST") << group << floorOff << 202
            << "\"replies\":[{\"detail\":\"waiting for an answer\",\"name\":\"hall-a\","
               "\"outcome\":\"no answer\"},{\"detail\":\"waiting for an answer\",\"name\":"
               "\"hall-b\",\"outcome\":\"no answer\"}]"
            << none;
        QTest::newRow("projectors by name, as the operator at this service")
            << "olly" << QByteArray("POST") << group
            << QByteArray(R"({"action":"mute picture on","names":["hall-c"]})") << 202
            << R"("requester":"olly@hall-a")" << none;
        QTest::newRow("a viewer asks the building")
            << "vera" << QByteArray("POST") << group << floorOff << 403 << "viewer" << none;
        QTest::newRow("a group action without a CSRF token")
            << "olly-nocsrf" << QByteArray("POST") << group << floorOff << 403 << "X-CSRF" << none;
        QTest::newRow("no action for a building")
            << "olly" << QByteArray("POST") << group
            << QByteArray(R"({"action":"freeze on","names":["hall-a"]})") << 400 << "action"
            << none;
        QTest::newRow("names and a group")
            << "olly" << QByteArray("POST") << group
            << QByteArray(R"({"action":"power on","names":["hall-a"],"group":"floor-2"})") << 400
            << "names" << none;
        QTest::newRow("a name not in the building")
            << "olly" << QByteArray("POST") << group
            << QByteArray(R"({"action":"power on","names":["hall-a","hall-z"]})") << 404 << "hall-z"
            << none;
        QTest::newRow("a group of nobody")
            << "olly" << QByteArray("POST") << group
            << QByteArray(R"({"action":"power on","group":"floor-9"})") << 404 << "floor-9" << none;
        QTest::newRow("the broker lost")
            << "olly-offline" << QByteArray("POST") << group << floorOn << 503 << "broker" << none;
        QTest::newRow("too many open")
            << "olly-busy" << QByteArray("POST") << group << floorOn << 429 << "open" << none;
        QTest::newRow("the group actions for a viewer")
            << "vera-busy" << QByteArray("GET") << "/api/v1/building/actions" << QByteArray() << 200
            << R"("action":"input 2")" << none;
        QTest::newRow("a bad journal query")
            << "vera" << QByteArray("GET") << "/api/v1/journal?after=x" << QByteArray() << 400
            << "after" << none;
    }
    void routes() {
        QFETCH(QString, as);
        QFETCH(QByteArray, method);
        QFETCH(QString, target);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, contains);
        QFETCH(QStringList, sent);
        ApiRig api;
        api.rig.run(500ms); // the first status reads
        QList<QPair<QByteArray, QByteArray>> headers;
        if (as == QLatin1String("forged"))
            headers = {{"Cookie", "kavo_session=" + QByteArray(64, 'a')}};
        else if (!as.isEmpty())
            headers = api.signIn(as.section(QLatin1Char('-'), 0, 0));
        if (as.endsWith(QLatin1String("-nocsrf")))
            headers.removeLast();
        if (as.endsWith(QLatin1String("-text")))
            headers.append({QByteArrayLiteral("Content-Type"), QByteArrayLiteral("text/plain")});
        if (target.startsWith(QLatin1String("/api/v1/building/")))
            api.joinBuilding();
        api.link.connected = !as.endsWith(QLatin1String("-offline"));
        for (std::size_t n = 0; as.endsWith(QLatin1String("-busy")) && n < 16; ++n)
            api.groupActions.start(*findAction(u"input 2"), {"hall-c"}, "x", "x");
        api.rig.sent.clear();
        const Answer answer = api.call(method, target, body, headers);
        QCOMPARE(answer.status, status);
        QVERIFY2(answer.body.contains(contains.toUtf8()), answer.body.constData());
        // The commands asked for, and the status reads they may bring: nothing else.
        const QStringList commands =
            api.rig.sent.filter(QRegularExpression(QStringLiteral("^(?!CR)")));
        QCOMPARE(commands, sent);
    }

    void withoutAccounts_data() {
        QTest::addColumn<QString>("peer");
        QTest::addColumn<int>("status");
        QTest::newRow("loopback") << "127.0.0.1" << 200;
        QTest::newRow("another machine") << "192.0.2.7" << 403;
    }
    void withoutAccounts() {
        QFETCH(QString, peer);
        QFETCH(int, status);
        ApiRig api(false);
        const Answer answer =
            api.call("GET", QStringLiteral("/api/v1/session"), {}, {}, QHostAddress(peer));
        QCOMPARE(answer.status, status);
        if (status == 200)
            QCOMPARE(answer.json.value(QStringLiteral("role")).toString(),
                     QStringLiteral("viewer"));
    }

    // Five wrong passwords pause the name: the sixth is not even checked.
    void wrongPasswordsPause() {
        ApiRig api;
        for (int attempt = 0; attempt < 5; ++attempt)
            QCOMPARE(api.call("POST", QStringLiteral("/api/v1/session"),
                              R"({"name":"olly","password":"guess"})")
                         .status,
                     401);
        const Answer paused = api.call("POST", QStringLiteral("/api/v1/session"),
                                       R"({"name":"olly","password":"olly-pw"})");
        QCOMPARE(paused.status, 429);
        QVERIFY(paused.headers.contains({"Retry-After", "30"}));
    }

    // A token works without cookie or CSRF token until it is revoked.
    void bearerTokens() {
        ApiRig api;
        const auto olly = api.signIn(QStringLiteral("olly"));
        const Answer made =
            api.call("POST", QStringLiteral("/api/v1/tokens"), R"({"label":"nightly"})", olly);
        QCOMPARE(made.status, 201);
        const QByteArray bearer =
            "Bearer " + made.json.value(QStringLiteral("token")).toString().toLatin1();
        QCOMPARE(
            api.call("POST", QStringLiteral("/api/v1/button/1"), {}, {{"Authorization", bearer}})
                .status,
            200);
        const QString id = made.json.value(QStringLiteral("id")).toString();
        QCOMPARE(api.call("DELETE", QStringLiteral("/api/v1/tokens/") + id, {}, olly).status, 204);
        QCOMPARE(
            api.call("POST", QStringLiteral("/api/v1/button/1"), {}, {{"Authorization", bearer}})
                .status,
            401);
    }

    // Power on waits out a cool-down, says so, and ends when the state is reached.
    void managedPowerEvents() {
        ApiRig api;
        api.rig.answers.insert(QStringLiteral("CR0"), QStringLiteral("20\r")); // cooling down
        api.rig.run(500ms);
        const auto olly = api.signIn(QStringLiteral("olly"));
        std::optional<ApiResponse> answer;
        ApiRequest request{"POST", QStringLiteral("/api/v1/power"), {},
                           olly,   R"({"state":"on","wait":true})", QHostAddress::LocalHost};
        request.headers.append(
            {QByteArrayLiteral("Content-Type"), QByteArrayLiteral("application/json")});
        api.api->handle(request, [&answer](const ApiResponse& response) { answer = response; });
        api.rig.run(3s);
        QVERIFY(!answer);
        api.rig.answers.insert(QStringLiteral("CR0"), QStringLiteral("80\r")); // standby
        api.rig.run(3s);
        api.rig.answers.insert(QStringLiteral("CR0"), QStringLiteral("00\r")); // on
        api.rig.run(5s);
        QVERIFY(answer);
        QCOMPARE(answer->status, 200);
        QVERIFY(api.rig.sent.contains(QStringLiteral("C00")));
        QStringList phases;
        for (const QJsonObject& event : api.events) {
            if (event.value(QStringLiteral("type")) == QLatin1String("power"))
                phases.append(event.value(QStringLiteral("phase")).toString());
        }
        QCOMPARE(phases, (QStringList{"started", "waiting", "done"}));
        api.api->alert({{"event", "line_lost"}});
        QCOMPARE(api.events.last(),
                 (QJsonObject{{"type", "alert"}, {"event", QJsonObject{{"event", "line_lost"}}}}));
        // A burst of building changes is one notice now and one a second later.
        const auto notices = [&api] { return api.events.count(QJsonObject{{"type", "building"}}); };
        for (int n = 0; n < 50; ++n)
            api.api->buildingChanged();
        QCOMPARE(notices(), 1);
        api.rig.run(kBuildingNotice);
        api.rig.run(kBuildingNotice);
        QCOMPARE(notices(), 2);
        // A group action's changes at most every kGroupNotice, its end at once.
        const auto told = [&api] {
            return api.events.count(QJsonObject{{"type", "group"}, {"id", 1}, {"finished", false}});
        };
        for (int n = 0; n < 5; ++n)
            api.api->groupChanged({{"id", 1}, {"finished", false}});
        QCOMPARE(told(), 1);
        api.rig.run(kGroupNotice);
        QCOMPARE(told(), 2);
        api.api->groupChanged({{"id", 1}, {"finished", true}});
        QCOMPARE(api.events.last(),
                 (QJsonObject{{"type", "group"}, {"id", 1}, {"finished", true}}));
    }

    // A page's stream: refused without a session or from another origin,
    // closed when it floods or never reads; the others go on.
    void eventStreams_data() {
        QTest::addColumn<QString>("peer");
        QTest::addColumn<bool>("kept");
        QTest::addColumn<QString>("journal");
        QTest::newRow("a signed-in page") << "page" << true << "";
        QTest::newRow("no session") << "unsigned" << false << "without signing in";
        QTest::newRow("another site's page") << "elsewhere" << false << "another origin";
        QTest::newRow("a flood") << "flood" << false << "messages in 10 s";
        QTest::newRow("a page that never reads") << "stuck" << false << "unread; closed";
    }
    void eventStreams() {
        QFETCH(QString, peer);
        QFETCH(bool, kept);
        QFETCH(QString, journal);
        ApiRig api(false);
        EventStreams streams(*api.api, api.rig.clock, *api.rig.journal);
        QWebSocketServer server(QStringLiteral("test"), QWebSocketServer::NonSecureMode);
        QVERIFY(server.listen(QHostAddress::LocalHost));
        connect(&server, &QWebSocketServer::newConnection, &server,
                [&] { streams.take(std::unique_ptr<QWebSocket>(server.nextPendingConnection())); });
        const QByteArray cookie =
            api.call("GET", QStringLiteral("/api/v1/session")).headers.value(0).second;
        const QString host = QStringLiteral("127.0.0.1:%1").arg(server.serverPort());
        QNetworkRequest request(QUrl(QStringLiteral("ws://%1/api/v1/events").arg(host)));
        if (peer != QLatin1String("unsigned"))
            request.setRawHeader("Cookie", cookie.left(cookie.indexOf(';')));
        request.setRawHeader("Origin", peer == QLatin1String("elsewhere")
                                           ? QByteArray("http://evil.example")
                                           : "http://" + host.toLatin1());
        // A page that never reads: a bare socket that sends the handshake and stops.
        QTcpSocket stuck;
        QWebSocket page;
        QSignalSpy closed(&page, &QWebSocket::disconnected);
        if (peer == QLatin1String("stuck")) {
            stuck.setReadBufferSize(1);
            stuck.connectToHost(QHostAddress::LocalHost, server.serverPort());
            QVERIFY(stuck.waitForConnected());
            stuck.write("GET /api/v1/events HTTP/1.1\r\nHost: " + host.toLatin1() +
                        "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                        "Sec-WebSocket-Version: 13\r\nCookie: " +
                        cookie.left(cookie.indexOf(';')) + "\r\n\r\n");
        } else {
            page.open(request);
        }
        QTRY_COMPARE(streams.count() + int(closed.count()), 1);
        if (peer == QLatin1String("flood")) {
            for (int message = 0; message < 25; ++message)
                page.sendTextMessage(QStringLiteral("hello"));
        }
        if (peer == QLatin1String("stuck")) {
            const QJsonObject big{{QStringLiteral("pad"), QString(64 * 1024, QLatin1Char('x'))}};
            for (int message = 0; message < 400 && streams.count() == 1; ++message) {
                streams.broadcast(big);
                QCoreApplication::processEvents();
            }
        }
        if (kept) {
            QTRY_VERIFY(page.isValid());
            QTest::qWait(50);
            QCOMPARE(streams.count(), 1);
        } else {
            QTRY_COMPARE(streams.count(), 0);
            QVERIFY2(api.rig.journalText().contains(journal), qPrintable(api.rig.journalText()));
        }
    }

    void lineDown() {
        ApiRig api;
        const auto olly = api.signIn(QStringLiteral("olly"));
        api.rig.line.loseLine();
        QCOMPARE(api.call("POST", QStringLiteral("/api/v1/button/1"), {}, olly).status, 503);
    }
};

QTEST_GUILESS_MAIN(TestWebApi)
#include "tst_web_api.moc"
