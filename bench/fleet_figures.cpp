#include "fleet_figures.h"

#include "bench_broker.h"
#include "bench_web.h"
#include "group_request.h"
#include "managed_power.h"
#include "service_rig.h"
#include "sim_constants.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QWebSocket>

using namespace std::chrono_literals;

namespace kavo::bench {
namespace {

constexpr int kProjectors = 100;
constexpr int kPerFloor = 10;
constexpr auto kIdleSettle = 2s;
constexpr double kStartWaitMs = 60000;
// How long a requester waits for "accepted".
constexpr double kAnswerWaitMs = 5000;
constexpr double kPowerWaitMs = 30000;
constexpr double kRecoverWaitMs = 90000;
constexpr double kListedTargetMs = 2000;
constexpr double kReachedTargetMs = 2000;
// Once a simulator has cooled down, its service sees standby at its next
// power read, and the page is told of the change at most once a second; the
// rest is slack for a 2-core machine running a hundred and one processes.
constexpr std::chrono::milliseconds kStandbyTarget = kavo::sim::kDefaultCoolDown + kPowerPoll + 2s;
constexpr int kCorrelationBytes = 16;
const QString kBase = QStringLiteral("kavo");
const QString kRequester = QStringLiteral("kavo-bench");

QString name(int i) {
    return QStringLiteral("room-%1").arg(i + 1);
}

QString topic(int i, const char* leaf) {
    return kBase + QLatin1Char('/') + name(i) + QLatin1Char('/') + QLatin1String(leaf);
}

// The Building section as the page keeps it: fetched when the page opens
// and again whenever its event stream says the building changed, one fetch
// at a time. Notes when the rows first meet what is expected of them.
class BuildingView {
  public:
    using Goal = std::function<bool(const QJsonArray&)>;

    BuildingView(const QUrl& page, QNetworkAccessManager& network, const QByteArray& cookie)
        : m_socket(page.toString(QUrl::RemovePath | QUrl::StripTrailingSlash)), m_network(network),
          m_building(page.resolved(QUrl(QStringLiteral("/api/v1/building")))), m_cookie(cookie) {
        QObject::connect(&m_socket, &QWebSocket::textMessageReceived, &m_socket,
                         [this](const QString& text) {
                             if (QJsonDocument::fromJson(text.toUtf8())
                                     .object()
                                     .value(QStringLiteral("type"))
                                     .toString() == QStringLiteral("building"))
                                 fetch();
                         });
        QUrl events = page;
        events.setScheme(QStringLiteral("ws"));
        events.setPath(QStringLiteral("/api/v1/events"));
        QNetworkRequest request(events);
        request.setRawHeader("Cookie", cookie);
        m_socket.open(request);
        fetch();
    }
    ~BuildingView() {
        if (m_reply)
            m_reply->abort();
    }
    BuildingView(const BuildingView&) = delete;
    BuildingView& operator=(const BuildingView&) = delete;

    bool isOpen() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    const QJsonArray& rows() const { return m_rows; }
    // From now on, notes when the rows first meet `goal`.
    void expect(Goal goal) {
        m_goal = std::move(goal);
        m_metAt.reset();
        check();
    }
    // When the rows met the goal, waiting up to `timeoutMs` for it.
    std::optional<double> met(double timeoutMs) {
        waitFor([this] { return m_metAt.has_value(); }, timeoutMs);
        return m_metAt;
    }

  private:
    void fetch() {
        if (m_reply) {
            m_again = true;
            return;
        }
        QNetworkRequest request(m_building);
        request.setRawHeader("Cookie", m_cookie);
        m_reply = m_network.get(request);
        QObject::connect(m_reply, &QNetworkReply::finished, &m_socket, [this] { fetched(); });
    }

    void fetched() {
        QNetworkReply* reply = std::exchange(m_reply, nullptr);
        reply->deleteLater();
        if (reply->error() == QNetworkReply::NoError) {
            m_rows = QJsonDocument::fromJson(reply->readAll())
                         .object()
                         .value(QStringLiteral("projectors"))
                         .toArray();
            check();
        }
        if (std::exchange(m_again, false))
            fetch();
    }

    void check() {
        if (m_goal && !m_metAt && m_goal(m_rows))
            m_metAt = nowMs();
    }

    QWebSocket m_socket;
    QNetworkAccessManager& m_network;
    QUrl m_building;
    QByteArray m_cookie;
    QNetworkReply* m_reply = nullptr;
    bool m_again = false;
    QJsonArray m_rows;
    Goal m_goal;
    std::optional<double> m_metAt;
};

// Online with the power given and, when `since` is valid, heard from since then.
bool shows(const QJsonValue& row, const QString& power, const QDateTime& since) {
    return row[QStringLiteral("availability")] == QStringLiteral("online") &&
           row[QStringLiteral("power")] == power &&
           (!since.isValid() || QDateTime::fromString(row[QStringLiteral("last_seen")].toString(),
                                                      Qt::ISODateWithMs) >= since);
}

int countShowing(const QJsonArray& rows, const QString& power, const QDateTime& since = {}) {
    return int(std::count_if(rows.begin(), rows.end(),
                             [&](const QJsonValue& row) { return shows(row, power, since); }));
}

// All hundred listed, each showing the power given.
BuildingView::Goal allShow(const QString& power, const QDateTime& since = {}) {
    return [power, since](const QJsonArray& rows) {
        return rows.size() == kProjectors && countShowing(rows, power, since) == kProjectors;
    };
}

} // namespace

QString FleetFigures::describe() const {
    return QStringLiteral(
               "building of %1: %1 instances on one mosquitto broker, one with the web page; "
               "%2 loads of its Building view in headless Chromium, a power-off to all %1 "
               "through the broker, idle for %3 s, the broker killed and started again")
        .arg(kProjectors)
        .arg(m_counts.startUpRuns)
        .arg(m_counts.serviceIdle.count());
}

bool FleetFigures::measure(QString* error) {
    std::printf("kavo-projectord: a building of %d on one MQTT broker, idle for %lld s...\n",
                kProjectors, qlonglong(m_counts.serviceIdle.count()));
    std::fflush(stdout);
    Broker broker(m_workspace);
    if (!broker.start(error))
        return false;
    auto watcher = std::make_unique<MqttWatcher>(broker.port());
    ProjectorLines lines(kProjectors);
    if (!watcher->connected() || !lines.isValid()) {
        *error = QStringLiteral("cannot watch the broker or open %1 lines").arg(kProjectors);
        return false;
    }
    const ServiceLauncher launcher(m_workspace, m_programs.service);
    Instances services;

    // Ten floors of ten; the first also serves the page.
    const double start = nowMs();
    const auto options = [&](int i) {
        QStringList given{
            QStringLiteral("--mqtt"),        broker.url(),
            QStringLiteral("--group"),       QStringLiteral("floor-%1").arg(i / kPerFloor + 1),
            QStringLiteral("--description"), QStringLiteral("Room %1").arg(i + 1)};
        if (i == 0)
            given << QStringLiteral("--http") << QStringLiteral("127.0.0.1:0");
        return given;
    };
    if (!launcher.startAll(kProjectors, lines, name, options, services, error))
        return false;
    for (int i = 0; i < kProjectors; ++i) {
        const auto announced = watcher->arrival(topic(i, "info"), {}, start, start + kStartWaitMs);
        if (!announced) {
            *error = QStringLiteral("%1 did not announce itself").arg(name(i));
            return false;
        }
        m_announcedMs.push_back(*announced - start);
    }

    const QUrl page = pageUrl(launcher.journalPath(name(0)));
    QNetworkAccessManager network;
    const QByteArray cookie =
        get(network, page.resolved(QUrl(QStringLiteral("/api/v1/session")))).cookie;
    BuildingView view(page, network, cookie);
    if (!page.isValid() || !waitFor([&] { return view.isOpen(); }, kRequestWaitMs)) {
        *error = QStringLiteral("no Building view on %1's page").arg(name(0));
        return false;
    }

    // All on, as a building is in the day.
    view.expect(allShow(QStringLiteral("on")));
    for (int i = 0; i < kProjectors; ++i)
        watcher->publish(topic(i, "power/set"), "ON");
    if (!view.met(kPowerWaitMs)) {
        *error = QStringLiteral("the view did not show all %1 on").arg(kProjectors);
        return false;
    }

    const QJsonArray loads =
        chromiumLoads(m_workspace, page, m_counts.startUpRuns,
                      {QStringLiteral("--building"), QString::number(kProjectors)}, error);
    if (loads.isEmpty()) {
        return false;
    }
    for (const QJsonValue& load : loads) {
        m_loadEventMs.push_back(load[QStringLiteral("load")].toDouble());
        m_listedMs.push_back(load[QStringLiteral("building")].toDouble());
    }

    // Idle with the view open, as an operator's page would be.
    runEvents(kIdleSettle);
    std::vector<double> before;
    for (const Child& service : services.all())
        before.push_back(cpuMs(service.pid));
    const double brokerBefore = cpuMs(broker.process().pid);
    runEvents(m_counts.serviceIdle);
    const double perMinute = 60.0 / double(m_counts.serviceIdle.count());
    for (int i = 0; i < services.size(); ++i) {
        m_idleMs.push_back((cpuMs(services[i].pid) - before[std::size_t(i)]) * perMinute);
        m_pssMb.push_back(rollupMb(services[i].pid, "Pss"));
    }
    m_brokerIdleMs = (cpuMs(broker.process().pid) - brokerBefore) * perMinute;
    m_brokerPssMb = rollupMb(broker.process().pid, "Pss");

    // A group power-off, sent as a requester sends it: one client, one
    // message to each, one correlation. A service has been reached when it
    // answers "accepted" or its state shows it cooling down, whichever the
    // broker brings first.
    const QString replies = newResponseTopic(kBase, {});
    QByteArray correlation(kCorrelationBytes, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(correlation.data()),
                                          kCorrelationBytes / int(sizeof(quint32)));
    view.expect(allShow(QStringLiteral("standby")));
    const double sent = nowMs();
    for (int i = 0; i < kProjectors; ++i)
        watcher->request(topic(i, "power/set"), "OFF", replies, correlation, kRequester);
    std::vector<std::optional<double>> reached(kProjectors);
    std::map<QString, double> accepted;
    waitFor(
        [&] {
            for (const MqttMessage& answer : watcher->messages(replies, sent)) {
                const auto reply = parseGroupReply(answer.payload);
                if (reply && reply->outcome == GroupOutcome::Accepted)
                    accepted.try_emplace(reply->name, answer.at);
            }
            for (int i = 0; i < kProjectors; ++i) {
                const auto cooling =
                    watcher->arrival(topic(i, "power_state"), "cooling_down", sent, 0);
                const auto answered = accepted.find(name(i));
                std::optional<double> first = cooling;
                if (answered != accepted.end() && (!first || answered->second < *first))
                    first = answered->second;
                reached[std::size_t(i)] = first;
            }
            return std::ranges::all_of(reached, [](const auto& at) { return at.has_value(); });
        },
        kAnswerWaitMs);
    for (const auto& at : reached)
        m_reachedMs.push_back(at ? *at - sent : NAN);
    m_accepted.push_back(double(accepted.size()));
    const auto standby = view.met(kPowerWaitMs);
    m_viewStandbyMs = standby ? *standby - sent : NAN;
    const double shownBy = nowMs() + kRequestWaitMs;
    for (int i = 0; i < kProjectors; ++i) {
        const auto shown = watcher->arrival(topic(i, "power_state"), "standby", sent, shownBy);
        m_stateStandbyMs.push_back(shown ? *shown - sent : NAN);
    }

    // The broker killed and started again on its port. A subscriber of
    // its own sees the services come back: the one before would reconnect
    // only at its own pace.
    watcher.reset();
    const QDateTime killedAt = QDateTime::currentDateTimeUtc();
    broker.kill();
    if (!broker.start(error)) {
        return false;
    }
    const double restarted = nowMs();
    view.expect(allShow(QStringLiteral("standby"), killedAt));
    watcher = std::make_unique<MqttWatcher>(broker.port());
    // The event loop runs while the view recovers; each service's return
    // is read afterwards from what the subscriber noted meanwhile.
    const auto recovered = view.met(kRecoverWaitMs);
    m_recoveredMs = recovered ? *recovered - restarted : NAN;
    const double looked = nowMs();
    for (int i = 0; i < kProjectors; ++i) {
        const auto info =
            watcher->arrival(topic(i, "info"), {}, restarted, looked + kRequestWaitMs);
        const auto online = watcher->arrival(topic(i, "availability"), "online", restarted,
                                             looked + kRequestWaitMs);
        m_backMs.push_back(info && online ? std::max(*info, *online) - restarted : NAN);
    }
    m_listedAfter = countShowing(view.rows(), QStringLiteral("standby"), killedAt);
    // What a view opened now would be given: every announcement and state,
    // kept again by the broker.
    const MqttWatcher late(broker.port());
    const double asked = nowMs();
    m_retainedAfter = 0;
    for (int i = 0; i < kProjectors; ++i) {
        if (late.arrival(topic(i, "info"), {}, 0, asked + kRequestWaitMs) &&
            late.arrival(topic(i, "availability"), "online", 0, asked + kRequestWaitMs) &&
            late.arrival(topic(i, "power_state"), "standby", 0, asked + kRequestWaitMs))
            ++m_retainedAfter;
    }

    bool ran = true;
    for (int i = 0; i < kProjectors; ++i)
        ran = launcher.stopMeasured(services[i], name(i), true, error) && ran;
    return ran;
}

void FleetFigures::addRows(Table& table) const {
    const auto noneMissing = [](const std::vector<double>& samples) {
        return std::ranges::none_of(samples, [](double ms) { return std::isnan(ms); });
    };
    table.add({QStringLiteral("100: announced after start"),
               QStringLiteral("ms"),
               summarise(m_announcedMs),
               QString(),
               {},
               QString(),
               0});
    const Summary listed = summarise(m_listedMs);
    table.add({QStringLiteral("100: view lists all (Chromium)"), QStringLiteral("ms"), listed,
               QStringLiteral("load event"), summarise(m_loadEventMs),
               QStringLiteral("worst <= %1").arg(number(kListedTargetMs, 0)), 0},
              listed.count > 0 && listed.worst <= kListedTargetMs);
    const Summary reached = summarise(m_reachedMs);
    table.add({QStringLiteral("100: power off reached, each"), QStringLiteral("ms"), reached,
               QStringLiteral("answered accepted (count)"), constant(summarise(m_accepted).median),
               QStringLiteral("worst <= %1").arg(number(kReachedTargetMs, 0)), 0},
              noneMissing(m_reachedMs) && reached.worst <= kReachedTargetMs);
    const double standbyTarget = double(kStandbyTarget.count());
    table.add({QStringLiteral("100: all in standby in the view"), QStringLiteral("ms"),
               constant(m_viewStandbyMs), QStringLiteral("state topic, each"),
               summarise(m_stateStandbyMs),
               QStringLiteral("<= %1 (cool-down %2)")
                   .arg(number(standbyTarget, 0))
                   .arg(kavo::sim::kDefaultCoolDown.count()),
               0},
              m_viewStandbyMs <= standbyTarget);
    table.add({QStringLiteral("100 idle: CPU a minute, each"), QStringLiteral("ms"),
               summarise(m_idleMs), QStringLiteral("the broker"), constant(m_brokerIdleMs),
               QString(), 1});
    table.add({QStringLiteral("100: Pss of each"), QStringLiteral("MB"), summarise(m_pssMb),
               QStringLiteral("the broker"), constant(m_brokerPssMb), QString(), 1});
    table.add({QStringLiteral("broker restarted: each back"), QStringLiteral("ms"),
               summarise(m_backMs), QStringLiteral("view right again"), constant(m_recoveredMs),
               QStringLiteral("all 100 back"), 0},
              noneMissing(m_backMs) && !std::isnan(m_recoveredMs));
    table.add({QStringLiteral("broker restarted: view right"), QString(), constant(m_listedAfter),
               QStringLiteral("kept by the broker"), constant(m_retainedAfter),
               QStringLiteral("100 of 100, both"), 0},
              m_listedAfter == kProjectors && m_retainedAfter == kProjectors);
}

} // namespace kavo::bench
