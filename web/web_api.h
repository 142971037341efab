#pragma once

// The web page's API as a table of routes, one handler each, on the service's
// one queue and vocabulary: who is asking (a session's cookie, with its CSRF
// token for what changes anything, or a script's bearer token), whether the
// role allows it, then the request's own work. Every route answers through
// `Respond`, at once or when the projector has answered. What the page does
// goes to the journal under the user's name, "http:alice@192.0.2.7".
//
// Without accounts only loopback may use the page, as "local", a viewer (an
// operator with --http-open-operator).

#include "accounts.h"
#include "api_tokens.h"
#include "api_types.h"
#include "group_actions.h"
#include "journal.h"
#include "line_queue.h"
#include "managed_power.h"
#include "metrics.h"
#include "scheduler.h"
#include "sessions.h"
#include "sign_in_guard.h"
#include "timer.h"
#include "web_views.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <QJsonObject>
#include <vector>

namespace kavo::web {

inline constexpr QLatin1StringView kSessionCookie{"kavo_session"};
// A web user's place in the queue is let go after this long without a request.
inline constexpr std::chrono::minutes kWebClientIdle{10};
// The page hears that the building changed at most this often.
inline constexpr std::chrono::seconds kBuildingNotice{1};
// A group action's answers come in bursts: the page is told of an open one
// at most this often, and of its end at once.
inline constexpr std::chrono::milliseconds kGroupNotice{250};

struct WebSettings {
    QString name;        // the service's
    QString description; // where the projector is
    QString usersFile;   // empty: no accounts
    bool tls = false;
    bool exposed = false; // reachable from other machines without TLS
    bool openOperator = false;
};

// The line as the page shows it.
struct LineFacts {
    bool open = false;
    QString device;
    QDateTime downSince;
    QString downReason;
};

struct Identity {
    QString name;
    service::Role role = service::Role::Viewer;
    QString who;           // "http:alice@192.0.2.7"
    QByteArray sessionKey; // the cookie's value; empty for a bearer token
    QByteArray csrfToken;
    bool local = false; // the page without accounts
};

class WebApi {
  public:
    using Respond = std::function<void(ApiResponse)>;
    // Messages for the page's event streams; `only` limits one to a session.
    using Events = std::function<void(const QJsonObject& message)>;
    using SessionEnded = std::function<void(const QString& name, const QByteArray& sessionKey)>;

    WebApi(service::LineQueue& queue, TimerFactory& timers, service::Journal& journal,
           WebSettings settings, std::function<LineFacts()> line);
    ~WebApi();

    // Reads the accounts and tokens; empty, or why the page cannot be served.
    QString start();
    void handle(const ApiRequest& request, const Respond& respond);

    // Who a request is (its cookie or bearer token), for the event stream.
    std::optional<Identity> identify(const ApiRequest& request);
    // The state as GET /api/v1/state gives it, without "user".
    QJsonObject state() const;
    QByteArray metricsText() const;

    void setEvents(Events events) { m_events = std::move(events); }
    void setSessionEnded(SessionEnded ended) { m_sessionEnded = std::move(ended); }
    // The line opened or was lost; the page's clients are told.
    void lineChanged(bool open);
    // Event streams open now, counted among the clients.
    void setStreams(int count);
    // The alerts: what GET /api/v1/alerts lists, and each new event for the
    // event streams as {"type": "alert", "event": {...}}.
    void setAlerts(std::function<QJsonObject()> alerts) { m_alerts = std::move(alerts); }
    void alert(const QJsonObject& event);
    // The building on the broker, with --mqtt: what GET /api/v1/building
    // gives; buildingChanged() tells the event streams {"type": "building"},
    // at most once every kBuildingNotice.
    void setBuilding(std::function<QJsonObject()> building) { m_building = std::move(building); }
    void buildingChanged();
    // What the page asks of the building's projectors, with --mqtt:
    // POST /api/v1/building/action and GET /api/v1/building/actions.
    // groupChanged() tells the event streams {"type": "group", ...the request}.
    void setGroupActions(service::GroupActions* actions) { m_groupActions = actions; }
    void groupChanged(const QJsonObject& request);
    // The service's schedule, when it has one.
    void setScheduler(service::Scheduler* scheduler) { m_scheduler = scheduler; }

  private:
    enum class Need { Anyone, Viewer, Operator, Admin };
    struct Call {
        const ApiRequest& request;
        std::optional<Identity> identity;
        QJsonObject body;
        QString parameter; // the route's {} part
    };
    using Handler = void (WebApi::*)(Call& call, const Respond& respond);
    struct Route {
        const char* method;
        const char* path; // segments, "{}" for any one
        Need need;
        Handler handler;
    };
    static const std::vector<Route>& routes();

    // Sessions and accounts.
    void getSession(Call& call, const Respond& respond);
    void postSession(Call& call, const Respond& respond);
    void deleteSession(Call& call, const Respond& respond);
    void getUsers(Call& call, const Respond& respond);
    void putUser(Call& call, const Respond& respond);
    void deleteUser(Call& call, const Respond& respond);
    void getTokens(Call& call, const Respond& respond);
    void postToken(Call& call, const Respond& respond);
    void deleteToken(Call& call, const Respond& respond);
    // Reading.
    void getState(Call& call, const Respond& respond);
    void getJournal(Call& call, const Respond& respond);
    void getPanel(Call& call, const Respond& respond);
    void getCatalogue(Call& call, const Respond& respond);
    void getActions(Call& call, const Respond& respond);
    // The projector.
    void postPower(Call& call, const Respond& respond);
    void postInput(Call& call, const Respond& respond);
    void postMute(Call& call, const Respond& respond);
    void postAction(Call& call, const Respond& respond);
    void postButton(Call& call, const Respond& respond);
    void postCommand(Call& call, const Respond& respond);
    // Alerts.
    void getAlerts(Call& call, const Respond& respond);

    // The building.
    void getBuilding(Call& call, const Respond& respond);
    void postBuildingAction(Call& call, const Respond& respond);
    void getBuildingActions(Call& call, const Respond& respond);
    QStringList buildingNames(const QJsonObject& body, QString& problem, int& status) const;
    // The schedule.
    void getSchedule(Call& call, const Respond& respond);
    void putSchedule(Call& call, const Respond& respond);
    void postSchedulePause(Call& call, const Respond& respond);
    void postScheduleResume(Call& call, const Respond& respond);
    void pauseSchedule(const Call& call, const Respond& respond, bool paused);

    QJsonObject sessionJson(const Identity& identity) const;
    ApiResponse signedIn(const Session& session, int status = 200);
    void runAction(const Call& call, const Action& action, const Respond& respond);
    void send(const Call& call, const QStringList& commands, const Respond& respond);
    service::ClientId clientOf(const QString& who);
    void sweepClients();
    void stateMayHaveChanged();
    void event(const QJsonObject& message);
    void refuse(const Call& call, const Respond& respond, int status, const QString& message,
                QStringView kind);
    QString peerWho(const ApiRequest& request) const;
    bool saveAccounts(const Respond& respond);

    service::LineQueue& m_queue;
    TimerFactory& m_timers;
    service::Journal& m_journal;
    WebSettings m_settings;
    std::function<LineFacts()> m_line;
    service::Accounts m_accounts;
    ApiTokens m_tokens;
    Sessions m_sessions;
    SignInGuard m_guard;
    Metrics m_metrics;
    StatusReadings m_status;
    ManagedPower m_power;
    service::ClientId m_powerClient = 0;
    std::optional<bool> m_powerTarget;
    QString m_powerWords;
    struct WebClient {
        service::ClientId id = 0;
        std::chrono::milliseconds lastUse{0};
    };
    std::map<QString, WebClient> m_clients; // by who
    std::unique_ptr<Timer> m_clientSweep;
    QJsonObject m_lastState;
    int m_streams = 0;
    Events m_events;
    SessionEnded m_sessionEnded;
    std::shared_ptr<int> m_alive = std::make_shared<int>(0);
    std::function<QJsonObject()> m_alerts;
    service::Scheduler* m_scheduler = nullptr;
    std::function<QJsonObject()> m_building;
    std::unique_ptr<Timer> m_buildingQuiet; // running: a notice went out less than a second ago
    bool m_buildingPending = false;
    service::GroupActions* m_groupActions = nullptr;
    std::unique_ptr<Timer> m_groupQuiet;          // running: a group notice went out just now
    std::map<qint64, QJsonObject> m_groupPending; // by request, the last change not told yet
};

} // namespace kavo::web
