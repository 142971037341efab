#include "web_api.h"

#include "button_map.h"
#include "command_check.h"
#include "exchange_report.h"
#include "kavo_version.h"
#include "mqtt_bridge.h"
#include "port_paths.h"
#include "projector_state.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

namespace kavo::web {
namespace {

using service::Role;

constexpr qsizetype kLongestPassword = 1024;
constexpr std::chrono::seconds kClientSweep{60};

QByteArray cookieValue(const ApiRequest& request, QLatin1StringView name) {
    for (const auto& [key, value] : request.headers) {
        if (key.compare("cookie", Qt::CaseInsensitive) != 0)
            continue;
        for (const QByteArray& pair : value.split(';')) {
            const QByteArray trimmed = pair.trimmed();
            if (trimmed.startsWith(QByteArray(name.data(), name.size()) + '='))
                return trimmed.mid(name.size() + 1);
        }
    }
    return {};
}

bool roleAllows(Role role, int need) {
    return int(role) + 1 >= need;
}

QByteArray sessionCookie(const QByteArray& value, bool secure) {
    QByteArray cookie = QByteArray(kSessionCookie.data(), kSessionCookie.size()) + '=' + value +
                        "; Path=/; HttpOnly; SameSite=Strict";
    if (secure)
        cookie += "; Secure";
    return cookie;
}

QJsonObject entryJson(const service::JournalEntry& entry) {
    return {{QStringLiteral("id"), qint64(entry.id)},
            {QStringLiteral("time"), entry.time.toString(Qt::ISODateWithMs)},
            {QStringLiteral("who"), entry.who},
            {QStringLiteral("what"), entry.what}};
}

QString kindOf(const QString& who) {
    return who.section(QLatin1Char(':'), 0, 0);
}

QString outcomeLabel(ReplyKind kind) {
    return outcomeWord(kind).replace(QLatin1Char(' '), QLatin1Char('_'));
}

ApiResponse noBuilding(int status) {
    return errorResponse(status,
                         QStringLiteral("this service is on no MQTT broker (kavo-projectord --mqtt "
                                        "mqtt://HOST): it sees no building"));
}

} // namespace

const std::vector<WebApi::Route>& WebApi::routes() {
    static const std::vector<Route> table{
        {"GET", "api/v1/session", Need::Anyone, &WebApi::getSession},
        {"POST", "api/v1/session", Need::Anyone, &WebApi::postSession},
        {"DELETE", "api/v1/session", Need::Viewer, &WebApi::deleteSession},
        {"GET", "api/v1/state", Need::Viewer, &WebApi::getState},
        {"GET", "api/v1/journal", Need::Viewer, &WebApi::getJournal},
        {"GET", "api/v1/panel", Need::Viewer, &WebApi::getPanel},
        {"GET", "api/v1/catalogue", Need::Viewer, &WebApi::getCatalogue},
        {"GET", "api/v1/actions", Need::Viewer, &WebApi::getActions},
        {"POST", "api/v1/power", Need::Operator, &WebApi::postPower},
        {"POST", "api/v1/input", Need::Operator, &WebApi::postInput},
        {"POST", "api/v1/mute", Need::Operator, &WebApi::postMute},
        {"POST", "api/v1/action", Need::Operator, &WebApi::postAction},
        {"POST", "api/v1/button/{}", Need::Operator, &WebApi::postButton},
        {"POST", "api/v1/command", Need::Operator, &WebApi::postCommand},
        {"GET", "api/v1/users", Need::Admin, &WebApi::getUsers},
        {"PUT", "api/v1/users/{}", Need::Admin, &WebApi::putUser},
        {"DELETE", "api/v1/users/{}", Need::Admin, &WebApi::deleteUser},
        {"GET", "api/v1/tokens", Need::Viewer, &WebApi::getTokens},
        {"POST", "api/v1/tokens", Need::Viewer, &WebApi::postToken},
        {"DELETE", "api/v1/tokens/{}", Need::Viewer, &WebApi::deleteToken},
        {"GET", "api/v1/alerts", Need::Viewer, &WebApi::getAlerts},
        {"GET", "api/v1/schedule", Need::Viewer, &WebApi::getSchedule},
        {"PUT", "api/v1/schedule", Need::Admin, &WebApi::putSchedule},
        {"POST", "api/v1/schedule/pause", Need::Admin, &WebApi::postSchedulePause},
        {"POST", "api/v1/schedule/resume", Need::Admin, &WebApi::postScheduleResume},
        {"GET", "api/v1/building", Need::Viewer, &WebApi::getBuilding},
        {"POST", "api/v1/building/action", Need::Operator, &WebApi::postBuildingAction},
        {"GET", "api/v1/building/actions", Need::Viewer, &WebApi::getBuildingActions},
    };
    return table;
}

WebApi::WebApi(service::LineQueue& queue, TimerFactory& timers, service::Journal& journal,
               WebSettings settings, std::function<LineFacts()> line)
    : m_queue(queue), m_timers(timers), m_journal(journal), m_settings(std::move(settings)),
      m_line(std::move(line)), m_sessions(timers), m_guard(timers, journal),
      m_power(
          [this](const QString& command, ManagedPower::Ended ended) {
              m_queue.submit(m_powerClient, command, std::move(ended));
          },
          timers) {
    // The queue and the journal outlive this: their observers check first.
    const std::weak_ptr<int> alive = m_alive;
    m_queue.addObserver([this, alive](const QString& who, const Exchange& exchange,
                                      std::chrono::milliseconds took) {
        if (alive.expired())
            return;
        m_metrics.exchangeEnded(kindOf(who), outcomeLabel(exchange.kind),
                                std::chrono::duration<double>(took).count());
        m_status.take(exchange, QDateTime::currentDateTimeUtc());
        stateMayHaveChanged();
    });
    m_queue.addClientsObserver([this, alive] {
        if (!alive.expired())
            stateMayHaveChanged();
    });
    m_journal.addObserver([this, alive](const service::JournalEntry& entry) {
        if (alive.expired())
            return;
        event({{QStringLiteral("type"), QStringLiteral("journal")},
               {QStringLiteral("entry"), entryJson(entry)}});
    });
    m_clientSweep = timers.createTimer();
    m_clientSweep->setInterval(kClientSweep);
    m_clientSweep->setTickHandler([this] { sweepClients(); });
    m_clientSweep->setEnabled(true);
}

WebApi::~WebApi() {
    m_alive.reset();
    m_events = {};
    m_power.cancel();
    for (const auto& [who, client] : m_clients)
        m_queue.removeClient(client.id);
}

QString WebApi::start() {
    if (m_settings.usersFile.isEmpty())
        return {};
    QString error;
    std::optional<service::Accounts> accounts =
        service::Accounts::load(m_settings.usersFile, false, error);
    if (!accounts)
        return error;
    m_accounts = std::move(*accounts);
    std::optional<ApiTokens> tokens =
        ApiTokens::load(m_settings.usersFile + QStringLiteral(".tokens"), error);
    if (!tokens)
        return error;
    m_tokens = std::move(*tokens);
    return {};
}

QString WebApi::peerWho(const ApiRequest& request) const {
    return QStringLiteral("http:") + peerText(request.peer);
}

std::optional<Identity> WebApi::identify(const ApiRequest& request) {
    const QString address = peerText(request.peer);
    const QByteArray authorization = request.header("Authorization");
    if (authorization.startsWith("Bearer ")) {
        const ApiToken* token = m_tokens.find(authorization.mid(7).trimmed());
        const service::Account* account = token ? m_accounts.find(token->name) : nullptr;
        if (!account)
            return std::nullopt;
        return Identity{account->name,
                        account->role,
                        QStringLiteral("http:%1@%2").arg(account->name, address),
                        {},
                        {},
                        false};
    }
    const QByteArray key = cookieValue(request, kSessionCookie);
    if (key.isEmpty())
        return std::nullopt;
    const Session* session = m_sessions.use(key);
    if (!session)
        return std::nullopt;
    const bool local = m_settings.usersFile.isEmpty();
    if (!local) {
        // A session stands for its account as it is now.
        const service::Account* account = m_accounts.find(session->name);
        if (!account || account->role != session->role) {
            m_sessions.end(key);
            return std::nullopt;
        }
    }
    return Identity{
        session->name, session->role,      QStringLiteral("http:%1@%2").arg(session->name, address),
        session->id,   session->csrfToken, local};
}

void WebApi::refuse(const Call& call, const Respond& respond, int status, const QString& message,
                    QStringView kind) {
    const QString who = call.identity ? call.identity->who : peerWho(call.request);
    m_journal.complain(who,
                       QStringLiteral("%1 %2: %3 %4")
                           .arg(QString::fromLatin1(call.request.method),
                                escapeControls(call.request.path.left(200)))
                           .arg(status)
                           .arg(message),
                       kind, peerWho(call.request));
    respond(errorResponse(status, message));
}

void WebApi::handle(const ApiRequest& request, const Respond& respond) {
    const QStringList segments = request.path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    const Route* matched = nullptr;
    QByteArrayList allowed;
    QString parameter;
    for (const Route& route : routes()) {
        const QStringList pattern = QString::fromLatin1(route.path).split(QLatin1Char('/'));
        if (pattern.size() != segments.size())
            continue;
        QString part;
        bool same = true;
        for (qsizetype i = 0; i < pattern.size() && same; ++i) {
            if (pattern[i] == QLatin1String("{}"))
                part = segments[i];
            else
                same = pattern[i] == segments[i];
        }
        if (!same)
            continue;
        allowed.append(route.method);
        if (request.method == route.method) {
            matched = &route;
            parameter = part;
        }
    }
    Call call{request, std::nullopt, {}, parameter};
    if (allowed.isEmpty())
        return refuse(call, respond, 404, QStringLiteral("no such page"), u"not found");
    if (!matched) {
        ApiResponse response = errorResponse(
            405, QStringLiteral("use %1").arg(QString::fromLatin1(allowed.join(", "))));
        response.headers.append({"Allow", allowed.join(", ")});
        m_journal.complain(
            peerWho(request),
            QStringLiteral("%1 %2: 405").arg(QString::fromLatin1(request.method), request.path),
            u"wrong method");
        return respond(response);
    }
    if (m_settings.usersFile.isEmpty() && !isLoopbackPeer(request.peer))
        return refuse(call, respond, 403,
                      QStringLiteral("this page has no accounts: only this machine may use it"),
                      u"not loopback");
    call.identity = identify(request);
    if (matched->need != Need::Anyone) {
        if (!call.identity)
            return refuse(call, respond, 401, QStringLiteral("sign in first"), u"not signed in");
        if (!roleAllows(call.identity->role, int(matched->need)))
            return refuse(call, respond, 403,
                          QStringLiteral("the %1 account may not do this")
                              .arg(service::roleWord(call.identity->role)),
                          u"role");
    }
    const bool changes = request.method != "GET" && request.method != "HEAD";
    if (changes && call.identity && !call.identity->sessionKey.isEmpty()) {
        const Session* session = m_sessions.use(call.identity->sessionKey);
        if (!session || !Sessions::csrfMatches(*session, request.header("X-CSRF-Token")))
            return refuse(call, respond, 403,
                          QStringLiteral("the X-CSRF-Token header is missing or wrong"), u"csrf");
    }
    if (!request.body.isEmpty()) {
        const QByteArray type = request.header("Content-Type").toLower();
        if (!type.startsWith("application/json"))
            return refuse(call, respond, 415, QStringLiteral("send JSON (application/json)"),
                          u"content type");
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(request.body, &error);
        if (error.error != QJsonParseError::NoError || !document.isObject())
            return refuse(call, respond, 400, QStringLiteral("the body is no JSON object"),
                          u"bad json");
        call.body = document.object();
    }
    (this->*matched->handler)(call, respond);
}

QJsonObject WebApi::sessionJson(const Identity& identity) const {
    QJsonObject object{{QStringLiteral("name"), identity.name},
                       {QStringLiteral("role"), service::roleWord(identity.role)},
                       {QStringLiteral("csrf_token"), QString::fromLatin1(identity.csrfToken)}};
    object.insert(QStringLiteral("accounts"), !m_settings.usersFile.isEmpty());
    object.insert(QStringLiteral("tls"), m_settings.tls);
    object.insert(QStringLiteral("warning"),
                  m_settings.exposed
                      ? QJsonValue(QStringLiteral(
                            "This page is not encrypted: passwords and what you do here can be "
                            "read on the network. Ask for it to be served with a certificate."))
                      : QJsonValue());
    return object;
}

ApiResponse WebApi::signedIn(const Session& session, int status) {
    const Identity identity{session.name, session.role, {}, session.id, session.csrfToken, false};
    ApiResponse response = jsonResponse(sessionJson(identity), status);
    response.headers.append({"Set-Cookie", sessionCookie(session.id, m_settings.tls)});
    return response;
}

void WebApi::getSession(Call& call, const Respond& respond) {
    if (call.identity)
        return respond(jsonResponse(sessionJson(*call.identity)));
    if (m_settings.usersFile.isEmpty()) {
        // Only loopback comes this far without accounts.
        const Role role = m_settings.openOperator ? Role::Operator : Role::Viewer;
        return respond(
            signedIn(m_sessions.create(QStringLiteral("local"), role, call.request.peer)));
    }
    QJsonObject refusal = sessionJson(Identity{});
    for (const QString& key :
         {QStringLiteral("name"), QStringLiteral("role"), QStringLiteral("csrf_token")})
        refusal.remove(key);
    refusal.insert(QStringLiteral("error"), QStringLiteral("sign in first"));
    respond(jsonResponse(refusal, 401));
}

void WebApi::postSession(Call& call, const Respond& respond) {
    if (m_settings.usersFile.isEmpty())
        return refuse(call, respond, 400, QStringLiteral("this page has no accounts"),
                      u"no accounts");
    const QString name = call.body.value(QStringLiteral("name")).toString();
    const QByteArray password = call.body.value(QStringLiteral("password")).toString().toUtf8();
    if (!service::isAccountName(name) || password.isEmpty() || password.size() > kLongestPassword)
        return refuse(call, respond, 400,
                      QStringLiteral("give \"name\" and \"password\" as JSON strings"),
                      u"bad sign-in");
    const QHostAddress& peer = call.request.peer;
    if (const std::optional<std::chrono::seconds> paused = m_guard.pausedFor(name, peer)) {
        m_guard.failed(name, peer);
        ApiResponse response = errorResponse(
            429,
            QStringLiteral("too many wrong passwords: try again in %1 s").arg(paused->count()));
        response.headers.append({"Retry-After", QByteArray::number(qint64(paused->count()))});
        return respond(response);
    }
    if (!m_accounts.verify(name, password)) {
        m_guard.failed(name, peer);
        return respond(errorResponse(401, QStringLiteral("wrong name or password")));
    }
    m_guard.succeeded(name, peer);
    const service::Account* account = m_accounts.find(name);
    const Session& session = m_sessions.create(name, account->role, peer);
    m_journal.write(QStringLiteral("http:%1@%2").arg(name, peerText(peer)),
                    QStringLiteral("signed in (%1)").arg(service::roleWord(account->role)));
    respond(signedIn(session));
}

void WebApi::deleteSession(Call& call, const Respond& respond) {
    ApiResponse response;
    response.status = 204;
    if (!call.identity->sessionKey.isEmpty()) {
        m_sessions.end(call.identity->sessionKey);
        if (m_sessionEnded)
            m_sessionEnded(call.identity->name, call.identity->sessionKey);
        m_journal.write(call.identity->who, QStringLiteral("signed out"));
        response.headers.append(
            {"Set-Cookie", QByteArray(kSessionCookie.data(), kSessionCookie.size()) +
                               "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0"});
    }
    respond(response);
}

void WebApi::getUsers(Call&, const Respond& respond) {
    QJsonArray users;
    for (const service::Account& account : m_accounts.all())
        users.append(QJsonObject{{QStringLiteral("name"), account.name},
                                 {QStringLiteral("role"), service::roleWord(account.role)}});
    respond(jsonResponse({{QStringLiteral("users"), users}}));
}

bool WebApi::saveAccounts(const Respond& respond) {
    if (const QString error = m_accounts.save(m_settings.usersFile); !error.isEmpty()) {
        m_journal.write(m_settings.name, error);
        respond(errorResponse(500, QStringLiteral("the accounts could not be saved")));
        return false;
    }
    return true;
}

void WebApi::putUser(Call& call, const Respond& respond) {
    const QString& name = call.parameter;
    if (!service::isAccountName(name))
        return refuse(call, respond, 400,
                      QStringLiteral("an account's name is 1 to 64 letters, digits, ., - and _"),
                      u"bad account");
    const std::optional<Role> role =
        service::roleOf(call.body.value(QStringLiteral("role")).toString());
    const service::Account* existing = m_accounts.find(name);
    const QJsonValue password = call.body.value(QStringLiteral("password"));
    if (!role || (!existing && !password.isString()) ||
        (!password.isUndefined() && !password.isString()))
        return refuse(call, respond, 400,
                      QStringLiteral("give \"role\" (viewer, operator or admin) and, for a new "
                                     "account, \"password\""),
                      u"bad account");
    const auto admins = std::ranges::count_if(
        m_accounts.all(), [](const service::Account& a) { return a.role == Role::Admin; });
    if (existing && existing->role == Role::Admin && *role != Role::Admin && admins == 1)
        return respond(errorResponse(409, QStringLiteral("the last admin must stay an admin")));
    const QByteArray secret = password.toString().toUtf8();
    if (secret.size() > kLongestPassword)
        return refuse(call, respond, 400, QStringLiteral("the password is too long"),
                      u"bad account");
    service::Accounts changed = m_accounts;
    const QString problem =
        password.isString() ? changed.set(name, *role, secret) : changed.setRole(name, *role);
    if (!problem.isEmpty())
        return refuse(call, respond, 400, problem, u"bad account");
    std::swap(m_accounts, changed);
    if (!saveAccounts(respond)) {
        std::swap(m_accounts, changed);
        return;
    }
    m_sessions.endAllOf(name);
    if (m_sessionEnded)
        m_sessionEnded(name, {});
    m_journal.write(call.identity->who,
                    QStringLiteral("%1 the account %2 (%3)")
                        .arg(existing ? QStringLiteral("changed") : QStringLiteral("added"), name,
                             service::roleWord(*role)));
    respond(jsonResponse(
        {{QStringLiteral("name"), name}, {QStringLiteral("role"), service::roleWord(*role)}},
        existing ? 200 : 201));
}

void WebApi::deleteUser(Call& call, const Respond& respond) {
    const service::Account* existing = m_accounts.find(call.parameter);
    if (!existing)
        return respond(errorResponse(404, QStringLiteral("no such account")));
    const auto admins = std::ranges::count_if(
        m_accounts.all(), [](const service::Account& a) { return a.role == Role::Admin; });
    if (existing->role == Role::Admin && admins == 1)
        return respond(errorResponse(409, QStringLiteral("the last admin cannot be removed")));
    const QString name = existing->name;
    service::Accounts before = m_accounts;
    m_accounts.remove(name);
    if (!saveAccounts(respond)) {
        m_accounts = std::move(before);
        return;
    }
    m_tokens.removeAllOf(name);
    m_tokens.save(m_settings.usersFile + QStringLiteral(".tokens"));
    m_sessions.endAllOf(name);
    if (m_sessionEnded)
        m_sessionEnded(name, {});
    m_journal.write(call.identity->who, QStringLiteral("removed the account %1").arg(name));
    respond(ApiResponse{204, {}, {}, {}});
}

void WebApi::getTokens(Call& call, const Respond& respond) {
    if (call.identity->local)
        return refuse(call, respond, 403, QStringLiteral("tokens need an account"), u"role");
    QJsonArray tokens;
    for (const ApiToken* token : m_tokens.of(call.identity->name))
        tokens.append(
            QJsonObject{{QStringLiteral("id"), token->id},
                        {QStringLiteral("label"), token->label},
                        {QStringLiteral("created"), token->created.toString(Qt::ISODateWithMs)}});
    respond(jsonResponse({{QStringLiteral("tokens"), tokens}}));
}

void WebApi::postToken(Call& call, const Respond& respond) {
    if (call.identity->local)
        return refuse(call, respond, 403, QStringLiteral("tokens need an account"), u"role");
    const QString label = call.body.value(QStringLiteral("label")).toString();
    QString problem;
    const auto made =
        m_tokens.create(call.identity->name, label, QDateTime::currentDateTimeUtc(), problem);
    if (!made)
        return refuse(call, respond, 400, problem, u"bad token");
    const auto& [text, token] = *made;
    if (const QString error = m_tokens.save(m_settings.usersFile + QStringLiteral(".tokens"));
        !error.isEmpty()) {
        m_tokens.revoke(call.identity->name, token.id);
        m_journal.write(m_settings.name, error);
        return respond(errorResponse(500, QStringLiteral("the token could not be saved")));
    }
    m_journal.write(call.identity->who,
                    QStringLiteral("made the API token %1 (%2)").arg(token.id, token.label));
    respond(jsonResponse({{QStringLiteral("id"), token.id},
                          {QStringLiteral("label"), token.label},
                          {QStringLiteral("created"), token.created.toString(Qt::ISODateWithMs)},
                          {QStringLiteral("token"), QString::fromLatin1(text)}},
                         201));
}

void WebApi::deleteToken(Call& call, const Respond& respond) {
    if (call.identity->local || !m_tokens.revoke(call.identity->name, call.parameter))
        return respond(errorResponse(404, QStringLiteral("no such token")));
    m_tokens.save(m_settings.usersFile + QStringLiteral(".tokens"));
    m_journal.write(call.identity->who,
                    QStringLiteral("revoked the API token %1").arg(call.parameter));
    respond(ApiResponse{204, {}, {}, {}});
}

QJsonObject WebApi::state() const {
    const LineFacts line = m_line();
    const ProjectorState& projector = m_queue.state();
    const PowerState power = projector.power();
    QJsonArray clients;
    for (const QString& who : m_queue.clients())
        clients.append(
            QJsonObject{{QStringLiteral("who"), who}, {QStringLiteral("kind"), kindOf(who)}});
    const auto optionalTime = [](const QDateTime& time) {
        return time.isValid() ? QJsonValue(time.toString(Qt::ISODateWithMs)) : QJsonValue();
    };
    QJsonObject managed{
        {QStringLiteral("running"), m_power.running()},
        {QStringLiteral("target"),
         m_powerTarget ? QJsonValue(*m_powerTarget ? QStringLiteral("on") : QStringLiteral("off"))
                       : QJsonValue()},
        {QStringLiteral("words"), m_powerWords}};
    return {
        {QStringLiteral("service"), m_settings.name},
        {QStringLiteral("description"), m_settings.description},
        {QStringLiteral("version"), QStringLiteral(KAVO_VERSION)},
        {QStringLiteral("now"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
        {QStringLiteral("line"),
         QJsonObject{{QStringLiteral("open"), line.open},
                     {QStringLiteral("device"), line.device},
                     {QStringLiteral("down_since"),
                      line.open ? QJsonValue() : optionalTime(line.downSince)},
                     {QStringLiteral("down_reason"), line.open || line.downReason.isEmpty()
                                                         ? QJsonValue()
                                                         : QJsonValue(line.downReason)}}},
        {QStringLiteral("power"),
         power == PowerState::Unknown ? QJsonValue() : QJsonValue(powerWord(power))},
        {QStringLiteral("power_words"), powerHeadline(power)},
        {QStringLiteral("state"), projector.toJson()},
        {QStringLiteral("status"), m_status.toJson()},
        {QStringLiteral("managed_power"), managed},
        {QStringLiteral("clients"), clients},
    };
}

void WebApi::getState(Call& call, const Respond& respond) {
    QJsonObject object = state();
    object.insert(QStringLiteral("user"),
                  QJsonObject{{QStringLiteral("name"), call.identity->name},
                              {QStringLiteral("role"), service::roleWord(call.identity->role)}});
    respond(jsonResponse(object));
}

void WebApi::getJournal(Call& call, const Respond& respond) {
    bool numeric = true;
    const QString afterText = call.request.query.queryItemValue(QStringLiteral("after"));
    const quint64 after = afterText.isEmpty() ? 0 : afterText.toULongLong(&numeric);
    if (!numeric)
        return refuse(call, respond, 400, QStringLiteral("\"after\" is an entry's number"),
                      u"bad query");
    const QString who =
        call.request.query.queryItemValue(QStringLiteral("who"), QUrl::FullyDecoded);
    QJsonArray entries;
    for (const service::JournalEntry& entry : m_journal.recent()) {
        if (entry.id > after && (who.isEmpty() || entry.who.contains(who, Qt::CaseInsensitive)))
            entries.append(entryJson(entry));
    }
    respond(jsonResponse({{QStringLiteral("entries"), entries}}));
}

void WebApi::getPanel(Call&, const Respond& respond) {
    respond(ApiResponse{200, "application/json", panelJson(), {}});
}

void WebApi::getCatalogue(Call&, const Respond& respond) {
    respond(ApiResponse{200, "application/json", catalogueJson(), {}});
}

void WebApi::getActions(Call&, const Respond& respond) {
    respond(ApiResponse{200, "application/json", actionsJson(), {}});
}

service::ClientId WebApi::clientOf(const QString& who) {
    WebClient& client = m_clients[who];
    if (client.id == 0)
        client.id = m_queue.addClient(who, service::Policy::Requests);
    client.lastUse = m_timers.now();
    return client.id;
}

void WebApi::sweepClients() {
    const std::chrono::milliseconds now = m_timers.now();
    std::erase_if(m_clients, [&](const auto& entry) {
        const bool idle = now - entry.second.lastUse >= kWebClientIdle &&
                          !(m_power.running() && entry.second.id == m_powerClient);
        if (idle)
            m_queue.removeClient(entry.second.id);
        return idle;
    });
}

void WebApi::send(const Call& call, const QStringList& commands, const Respond& respond) {
    if (!m_line().open)
        return respond(errorResponse(503, QStringLiteral("the line to the projector is down")));
    const service::ClientId client = clientOf(call.identity->who);
    // The commands one after the other; the answer once the last has ended.
    // Each step is kept alive by the queue's callback of the one before.
    struct Run {
        QStringList left;
        QJsonArray exchanges;
    };
    auto run = std::make_shared<Run>(Run{commands, {}});
    auto step = std::make_shared<std::function<void()>>();
    *step = [this, client, run, respond, weak = std::weak_ptr(step)] {
        if (run->left.isEmpty())
            return respond(jsonResponse({{QStringLiteral("exchanges"), run->exchanges}}));
        m_queue.submit(
            client, run->left.takeFirst(),
            [this, run, respond, self = weak.lock()](const Exchange* exchange) {
                if (!exchange) {
                    respond(m_line().open
                                ? errorResponse(409, QStringLiteral("the line stayed busy: the "
                                                                    "command was dropped"))
                                : errorResponse(503, QStringLiteral("the line to the projector "
                                                                    "is down")));
                    return;
                }
                // As kavoctl gives it, with the TxD trace beside the RxD one.
                QJsonObject shown = exchangeToJson(*exchange);
                shown.insert(QStringLiteral("sent_trace"), exchange->sentTrace);
                run->exchanges.append(shown);
                (*self)();
            });
    };
    (*step)();
}

void WebApi::runAction(const Call& call, const Action& action, const Respond& respond) {
    send(call, action.commands, respond);
}

void WebApi::postPower(Call& call, const Respond& respond) {
    const QString word = call.body.value(QStringLiteral("state")).toString();
    const QJsonValue wait = call.body.value(QStringLiteral("wait"));
    if ((word != QLatin1String("on") && word != QLatin1String("off")) ||
        !(wait.isUndefined() || wait.isBool()))
        return refuse(call, respond, 400,
                      QStringLiteral("give \"state\": \"on\" or \"off\" (and \"wait\": true or "
                                     "false)"),
                      u"bad parameter");
    if (!m_line().open)
        return respond(errorResponse(503, QStringLiteral("the line to the projector is down")));
    if (m_power.running())
        return respond(errorResponse(
            409, QStringLiteral("the projector is still carrying out the last power command")));
    const bool on = word == QLatin1String("on");
    m_powerClient = clientOf(call.identity->who);
    m_powerTarget = on;
    m_powerWords = on ? QStringLiteral("powering on") : QStringLiteral("powering off");
    const QString target = on ? QStringLiteral("on") : QStringLiteral("off");
    const auto phase = [this, target](const QString& name, const QJsonValue& reached) {
        event({{QStringLiteral("type"), QStringLiteral("power")},
               {QStringLiteral("phase"), name},
               {QStringLiteral("target"), target},
               {QStringLiteral("reached"), reached},
               {QStringLiteral("words"), m_powerWords}});
        stateMayHaveChanged();
    };
    const bool waits = wait.toBool(false);
    m_power.start(
        on, service::kManagedPowerWait,
        [this, phase, waits, respond](const ManagedPower::Outcome& outcome) {
            m_powerWords = outcome.words;
            m_powerTarget.reset();
            phase(QStringLiteral("done"), outcome.reached);
            if (waits)
                respond(jsonResponse(
                    {{QStringLiteral("reached"), outcome.reached},
                     {QStringLiteral("power"), outcome.last == PowerState::Unknown
                                                   ? QJsonValue()
                                                   : QJsonValue(powerWord(outcome.last))},
                     {QStringLiteral("words"), outcome.words}}));
        },
        [this, phase](PowerState state) {
            m_powerWords = QStringLiteral("waiting: the projector is %1").arg(powerInWords(state));
            phase(QStringLiteral("waiting"), QJsonValue());
        });
    if (m_power.running())
        phase(QStringLiteral("started"), QJsonValue());
    if (!waits && m_power.running())
        respond(jsonResponse({{QStringLiteral("started"), true}}, 202));
}

void WebApi::postInput(Call& call, const Respond& respond) {
    const QString input = call.body.value(QStringLiteral("input")).toString();
    const Action* action =
        input.contains(QLatin1Char(' ')) ? nullptr : findAction(QStringLiteral("input ") + input);
    if (!action)
        return refuse(call, respond, 400,
                      QStringLiteral("give \"input\": \"1\", \"2\", \"3\" or \"network\""),
                      u"bad parameter");
    runAction(call, *action, respond);
}

void WebApi::postMute(Call& call, const Respond& respond) {
    const QString what = call.body.value(QStringLiteral("what")).toString();
    const QJsonValue on = call.body.value(QStringLiteral("on"));
    const Action* action =
        what.contains(QLatin1Char(' ')) || !on.isBool()
            ? nullptr
            : findAction(QStringLiteral("mute %1 %2").arg(what, on.toBool() ? "on" : "off"));
    if (!action)
        return refuse(call, respond, 400,
                      QStringLiteral("give \"what\": \"picture\", \"audio\" or \"all\", and "
                                     "\"on\": true or false"),
                      u"bad parameter");
    runAction(call, *action, respond);
}

void WebApi::postAction(Call& call, const Respond& respond) {
    const Action* action = findAction(call.body.value(QStringLiteral("name")).toString());
    if (!action)
        return refuse(call, respond, 400,
                      QStringLiteral("no such action; GET /api/v1/actions lists them"),
                      u"bad parameter");
    runAction(call, *action, respond);
}

void WebApi::postButton(Call& call, const Respond& respond) {
    bool numeric = false;
    const int number = call.parameter.toInt(&numeric);
    const panel::ButtonEntry* button = numeric ? panel::findButton(number) : nullptr;
    if (!button || button->command.empty())
        return respond(
            errorResponse(404, QStringLiteral("no button sends a command by that number")));
    send(call, {QString::fromLatin1(button->command.data(), qsizetype(button->command.size()))},
         respond);
}

void WebApi::postCommand(Call& call, const Respond& respond) {
    const QJsonValue text = call.body.value(QStringLiteral("command"));
    const CheckedCommand checked = checkCommand(text.toString());
    if (!text.isString() || !checked.error.isEmpty())
        return refuse(call, respond, 400,
                      checked.error.isEmpty() ? QStringLiteral("give \"command\" as a string")
                                              : checked.error,
                      u"bad command");
    send(call, {checked.command}, [respond](ApiResponse response) {
        // One command: its exchange itself.
        if (response.status == 200) {
            const QJsonArray exchanges = QJsonDocument::fromJson(response.body)
                                             .object()
                                             .value(QStringLiteral("exchanges"))
                                             .toArray();
            response = jsonResponse(exchanges.first().toObject());
        }
        respond(response);
    });
}

void WebApi::lineChanged(bool open) {
    if (!open)
        m_status.forget();
    stateMayHaveChanged();
}

void WebApi::setStreams(int count) {
    m_streams = count;
}

void WebApi::stateMayHaveChanged() {
    QJsonObject now = state();
    QJsonObject compared = now;
    compared.remove(QStringLiteral("now"));
    if (compared == m_lastState)
        return;
    m_lastState = compared;
    event({{QStringLiteral("type"), QStringLiteral("state")}, {QStringLiteral("state"), now}});
}

void WebApi::event(const QJsonObject& message) {
    if (m_events)
        m_events(message);
}

QByteArray WebApi::metricsText() const {
    MetricsSnapshot snapshot;
    snapshot.lineOpen = m_line().open;
    snapshot.state = m_queue.state().toJson();
    for (const QString& who : m_queue.clients())
        ++snapshot.clients[kindOf(who)];
    snapshot.clients[QStringLiteral("websocket")] = m_streams;
    return m_metrics.text(snapshot);
}

// Alerts: the open ones and the last events, and each new event as it comes.
void WebApi::getAlerts(Call&, const Respond& respond) {
    respond(jsonResponse(m_alerts ? m_alerts()
                                  : QJsonObject{{QStringLiteral("open"), QJsonArray()},
                                                {QStringLiteral("events"), QJsonArray()}}));
}

void WebApi::alert(const QJsonObject& event) {
    this->event(
        {{QStringLiteral("type"), QStringLiteral("alert")}, {QStringLiteral("event"), event}});
}

// The building: every projector on the broker, and a notice when it changes;
// changes come in bursts (a broker's retained messages at connect), so the
// page refetches at most once a notice's interval.
void WebApi::getBuilding(Call&, const Respond& respond) {
    if (!m_building)
        return respond(noBuilding(404));
    respond(jsonResponse(m_building()));
}

// The projectors a body names, as "names" or as a "group"; empty with the
// problem and its status when they are not all in the building.
QStringList WebApi::buildingNames(const QJsonObject& body, QString& problem, int& status) const {
    const QJsonValue names = body.value(QStringLiteral("names"));
    const QJsonValue group = body.value(QStringLiteral("group"));
    status = 400;
    if (names.isUndefined() == group.isUndefined() || !(names.isArray() || group.isString())) {
        problem = QStringLiteral("give \"names\": [projectors] or \"group\": a group's name");
        return {};
    }
    std::map<QString, QStringList> building; // name -> groups
    for (const QJsonValue& row : m_building().value(QStringLiteral("projectors")).toArray()) {
        const QJsonObject projector = row.toObject();
        building[projector.value(QStringLiteral("name")).toString()] =
            projector.value(QStringLiteral("groups")).toVariant().toStringList();
    }
    QStringList chosen;
    if (group.isString()) {
        for (const auto& [name, groups] : building) {
            if (groups.contains(group.toString()))
                chosen.append(name);
        }
        if (chosen.isEmpty()) {
            status = 404;
            problem = QStringLiteral("no projector in the building is in the group \"%1\"")
                          .arg(escapeControls(group.toString().left(64)));
        }
        return chosen;
    }
    const QJsonArray list = names.toArray();
    if (list.isEmpty() || std::size_t(list.size()) > service::kMostProjectors) {
        problem = QStringLiteral("name 1 to %1 projectors").arg(service::kMostProjectors);
        return {};
    }
    for (const QJsonValue& name : list) {
        if (!building.contains(name.toString())) {
            status = name.isString() ? 404 : 400;
            problem = QStringLiteral("no projector in the building is named \"%1\"")
                          .arg(escapeControls(name.toString().left(64)));
            return {};
        }
        chosen.append(name.toString());
    }
    return chosen;
}

// A group action: one message per projector through the broker; the answer
// at once with every projector "no answer" yet, the rest as events.
void WebApi::postBuildingAction(Call& call, const Respond& respond) {
    if (!m_building || !m_groupActions)
        return respond(noBuilding(503));
    const QJsonValue name = call.body.value(QStringLiteral("action"));
    const Action* action = name.isString() ? findAction(name.toString()) : nullptr;
    if (!action || !service::isBuildingAction(*action))
        return refuse(call, respond, 400,
                      QStringLiteral("give \"action\": \"power on\", \"power off\", \"input "
                                     "...\" or \"mute picture|audio|all on|off\""),
                      u"bad parameter");
    QString problem;
    int status = 400;
    const QStringList names = buildingNames(call.body, problem, status);
    if (names.isEmpty())
        return refuse(call, respond, status, problem, u"bad parameter");
    const service::GroupActions::Started started = m_groupActions->start(
        *action, names, call.identity->name + QLatin1Char('@') + m_settings.name,
        call.identity->who);
    using Refusal = service::GroupActions::Refusal;
    switch (started.refusal) {
    case Refusal::None:
        return respond(jsonResponse(started.request, 202));
    case Refusal::NotConnected:
        return respond(errorResponse(503, started.why));
    case Refusal::Busy: {
        ApiResponse busy = errorResponse(429, started.why);
        busy.headers.append({"Retry-After", QByteArray::number(service::kGroupAnswerWait.count())});
        return respond(busy);
    }
    case Refusal::BadRequest:
        return refuse(call, respond, 400, started.why, u"bad parameter");
    }
}

void WebApi::getBuildingActions(Call&, const Respond& respond) {
    if (!m_groupActions)
        return respond(noBuilding(404));
    respond(jsonResponse({{QStringLiteral("actions"), m_groupActions->toJson()}}));
}

void WebApi::groupChanged(const QJsonObject& request) {
    if (!m_groupQuiet) {
        m_groupQuiet = m_timers.createTimer();
        m_groupQuiet->setInterval(kGroupNotice);
        m_groupQuiet->setTickHandler([this] {
            if (m_groupPending.empty())
                return m_groupQuiet->setEnabled(false);
            for (const auto& [id, message] : std::exchange(m_groupPending, {}))
                event(message);
        });
    }
    QJsonObject message = request;
    message.insert(QStringLiteral("type"), QStringLiteral("group"));
    const qint64 id = request.value(QStringLiteral("id")).toInteger();
    const bool finished = request.value(QStringLiteral("finished")).toBool();
    if (!finished && m_groupQuiet->isEnabled()) {
        m_groupPending[id] = message;
        return;
    }
    m_groupPending.erase(id);
    event(message);
    m_groupQuiet->setEnabled(true);
}

void WebApi::buildingChanged() {
    if (!m_buildingQuiet) {
        m_buildingQuiet = m_timers.createTimer();
        m_buildingQuiet->setInterval(kBuildingNotice);
        m_buildingQuiet->setTickHandler([this] {
            if (std::exchange(m_buildingPending, false))
                event({{QStringLiteral("type"), QStringLiteral("building")}});
            else
                m_buildingQuiet->setEnabled(false);
        });
    }
    if (m_buildingQuiet->isEnabled()) {
        m_buildingPending = true;
        return;
    }
    event({{QStringLiteral("type"), QStringLiteral("building")}});
    m_buildingQuiet->setEnabled(true);
}

// The schedule: shown to everyone signed in, changed by an admin.

namespace {

ApiResponse noSchedule() {
    return errorResponse(404, QStringLiteral("this service runs without a schedule "
                                             "(kavo-projectord --schedule FILE)"));
}

} // namespace

void WebApi::getSchedule(Call&, const Respond& respond) {
    if (!m_scheduler)
        return respond(noSchedule());
    respond(jsonResponse(m_scheduler->toJson()));
}

void WebApi::putSchedule(Call& call, const Respond& respond) {
    if (!m_scheduler)
        return respond(noSchedule());
    const QJsonValue text = call.body.value(QStringLiteral("text"));
    if (!text.isString())
        return refuse(call, respond, 400, QStringLiteral("give \"text\": the schedule's text"),
                      u"bad schedule");
    if (const auto problem = m_scheduler->replace(text.toString(), call.identity->who)) {
        if (problem->badText)
            return refuse(call, respond, 400, problem->message, u"bad schedule");
        m_journal.write(m_settings.name, problem->message);
        return respond(errorResponse(500, QStringLiteral("the schedule could not be saved")));
    }
    event({{QStringLiteral("type"), QStringLiteral("schedule")}});
    respond(jsonResponse(m_scheduler->toJson()));
}

void WebApi::postSchedulePause(Call& call, const Respond& respond) {
    pauseSchedule(call, respond, true);
}

void WebApi::postScheduleResume(Call& call, const Respond& respond) {
    pauseSchedule(call, respond, false);
}

void WebApi::pauseSchedule(const Call& call, const Respond& respond, bool paused) {
    if (!m_scheduler)
        return respond(noSchedule());
    if (const QString problem = m_scheduler->setPaused(paused, call.identity->who);
        !problem.isEmpty())
        return respond(
            errorResponse(500, QStringLiteral("the schedule's state could not be saved")));
    event({{QStringLiteral("type"), QStringLiteral("schedule")}});
    respond(jsonResponse(m_scheduler->toJson()));
}

} // namespace kavo::web
