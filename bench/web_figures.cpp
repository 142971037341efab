#include "web_figures.h"

#include "bench_web.h"
#include "service_rig.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QNetworkAccessManager>
#include <QWebSocket>

using namespace std::chrono_literals;

namespace kavo::bench {
namespace {

constexpr int kFanOutPages = 50;
constexpr int kIdlePages = 10;
constexpr auto kIdleSettle = 2s;
// Longer than the reads the service makes after a command take, so that a
// change starts on an idle line.
constexpr auto kChangeGap = 100ms;
constexpr double kReadyTargetMs = 300;
constexpr double kChangeTargetMs = 50;
constexpr double kFanOutTargetMs = 20;
constexpr double kIdleTargetMs = 10;
constexpr double kWeightTargetKb = 150;
const QByteArray kInputRead = "CR1\r";
const QString kFirstInput = QStringLiteral("input_1");
const QString kSecondInput = QStringLiteral("input_2");

// One open page as the service sees it: the event stream on the session's
// cookie, from the page's own origin, and the input its latest state showed
// with when that state arrived.
class PageStream {
  public:
    PageStream(const QUrl& page, const QByteArray& cookie)
        : m_socket(page.toString(QUrl::RemovePath | QUrl::StripTrailingSlash)) {
        QObject::connect(&m_socket, &QWebSocket::textMessageReceived, &m_socket,
                         [this](const QString& text) { received(text); });
        QUrl events = page;
        events.setScheme(QStringLiteral("ws"));
        events.setPath(QStringLiteral("/api/v1/events"));
        QNetworkRequest request(events);
        request.setRawHeader("Cookie", cookie);
        m_socket.open(request);
    }

    bool isOpen() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    const QString& input() const { return m_input; }
    double shownAt() const { return m_shownAt; }

  private:
    void received(const QString& text) {
        const double at = nowMs();
        const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
        if (message.value(QStringLiteral("type")).toString() != QStringLiteral("state"))
            return;
        const QString input = message.value(QStringLiteral("state"))
                                  .toObject()
                                  .value(QStringLiteral("state"))
                                  .toObject()
                                  .value(QStringLiteral("input"))
                                  .toString();
        if (input != m_input) {
            m_input = input;
            m_shownAt = at;
        }
    }

    QWebSocket m_socket;
    QString m_input;
    double m_shownAt = 0;
};

using Pages = std::vector<std::unique_ptr<PageStream>>;

bool allShow(const Pages& pages, const QString& input) {
    return std::ranges::all_of(pages, [&](const auto& page) { return page->input() == input; });
}

// A client of the service's socket that selects an input as a script would,
// with the projector's own command; its replies are read and dropped.
class InputSelector {
  public:
    explicit InputSelector(const QString& socketPath) {
        QObject::connect(&m_socket, &QLocalSocket::readyRead, &m_socket,
                         [this] { m_socket.readAll(); });
        m_socket.connectToServer(socketPath);
    }
    bool connected() { return m_socket.waitForConnected(int(kRequestWaitMs)); }
    // The time the command was written.
    double select(const QString& input) {
        const double written = nowMs();
        m_socket.write(input == kFirstInput ? "C05\r" : "C06\r");
        m_socket.flush();
        return written;
    }

  private:
    QLocalSocket m_socket;
};

// One change of input, shown on every page: from the command's write and
// from the input read's reply on the line to each page.
struct Change {
    double written = 0;
    double onLine = 0;
    std::vector<double> shown;
};

std::optional<Change> changeInput(const Pages& pages, InputSelector& selector,
                                  const ProjectorLines& lines) {
    runEvents(kChangeGap);
    const QString next = pages.front()->input() == kFirstInput ? kSecondInput : kFirstInput;
    Change change;
    change.written = selector.select(next);
    if (!waitFor([&] { return allShow(pages, next); }, kRequestWaitMs))
        return std::nullopt;
    for (const auto& page : pages)
        change.shown.push_back(page->shownAt());
    const auto onLine = lines.replyBefore(0, kInputRead, *std::ranges::min_element(change.shown));
    if (!onLine || *onLine < change.written)
        return std::nullopt;
    change.onLine = *onLine;
    return change;
}

} // namespace

QString WebFigures::describe() const {
    return QStringLiteral("web page: %1 loads in headless Chromium, %2 input changes to one page "
                          "and %3 to %4 pages, %5 pages idle for %6 s")
        .arg(m_counts.startUpRuns)
        .arg(m_counts.stateChanges)
        .arg(m_counts.bursts)
        .arg(kFanOutPages)
        .arg(kIdlePages)
        .arg(m_counts.serviceIdle.count());
}

// Chromium through page_timing.py: each load's load event and first state,
// from the navigation's start.
bool WebFigures::pageLoads(const QUrl& page, QString* error) {
    const QJsonArray loads = chromiumLoads(m_workspace, page, m_counts.startUpRuns, {}, error);
    for (const QJsonValue& load : loads) {
        const double loadEvent = load[QStringLiteral("load")].toDouble();
        m_loadEventMs.push_back(loadEvent);
        m_readyMs.push_back(std::max(loadEvent, load[QStringLiteral("state")].toDouble()));
    }
    return !loads.isEmpty();
}

// One service on a line of its own with default polling and the page on a
// free loopback port: its weight, Chromium's loads, input changes to one
// page and to fifty, then ten pages left open while it idles.
bool WebFigures::measure(QString* error) {
    std::printf("kavo-projectord's web page: %d loads in Chromium, %d changes to one page and "
                "%d to %d, %d pages idle for %lld s...\n",
                m_counts.startUpRuns, m_counts.stateChanges, m_counts.bursts, kFanOutPages,
                kIdlePages, qlonglong(m_counts.serviceIdle.count()));
    std::fflush(stdout);
    ProjectorLines lines(1);
    if (!lines.isValid()) {
        *error = QStringLiteral("no pseudo-terminal for the service");
        return false;
    }
    const ServiceLauncher launcher(m_workspace, m_programs.service);
    const QString name = QStringLiteral("web");
    auto service = launcher.start(name, lines.device(0),
                                  {QStringLiteral("--http"), QStringLiteral("127.0.0.1:0")}, error);
    if (!service)
        return false;
    const bool measured =
        launcher.warmedUp(*service, name, error) &&
        measureOn(*service, lines, launcher.journalPath(name), launcher.socketPath(name), error);
    return launcher.stopMeasured(*service, name, measured, error);
}

bool WebFigures::measureOn(const Child& service, const ProjectorLines& lines,
                           const QString& journal, const QString& socket, QString* error) {
    const QUrl page = pageUrl(journal);
    if (!page.isValid()) {
        *error =
            QStringLiteral("the service did not say where its page is (journal %1)").arg(journal);
        return false;
    }
    QNetworkAccessManager network;
    for (const char* path : {"/", "/app.js", "/app.css"}) {
        const Reply file = get(network, page.resolved(QUrl(QLatin1String(path))));
        if (file.status != 200) {
            *error = QStringLiteral("GET %1 answered %2").arg(QLatin1String(path)).arg(file.status);
            return false;
        }
        m_pageBytes += double(file.body.size());
    }
    if (!pageLoads(page, error))
        return false;

    // Without accounts loopback is signed in at once; every page shares the
    // one session, as the tabs of one browser do.
    const QByteArray cookie =
        get(network, page.resolved(QUrl(QStringLiteral("/api/v1/session")))).cookie;
    Pages pages;
    pages.push_back(std::make_unique<PageStream>(page, cookie));
    InputSelector selector(socket);
    if (!selector.connected() ||
        !waitFor([&] { return !pages.front()->input().isEmpty(); }, kRequestWaitMs)) {
        *error = QStringLiteral("no state on the event stream of %1 (cookie %2)")
                     .arg(page.toString(), cookie.isEmpty() ? "missing" : "given");
        return false;
    }
    for (int i = 0; i < m_counts.stateChanges; ++i) {
        const auto change = changeInput(pages, selector, lines);
        if (!change) {
            *error = QStringLiteral("input change %1 did not reach the page").arg(i + 1);
            return false;
        }
        m_lineToPageMs.push_back(change->shown.front() - change->onLine);
        m_commandToPageMs.push_back(change->shown.front() - change->written);
    }

    while (pages.size() < std::size_t(kFanOutPages))
        pages.push_back(std::make_unique<PageStream>(page, cookie));
    const QString shown = pages.front()->input();
    if (!waitFor([&] { return allShow(pages, shown); }, kRequestWaitMs)) {
        *error = QStringLiteral("not all %1 pages received the state").arg(kFanOutPages);
        return false;
    }
    for (int i = 0; i < m_counts.bursts; ++i) {
        const auto change = changeInput(pages, selector, lines);
        if (!change) {
            *error = QStringLiteral("input change %1 did not reach all %2 pages")
                         .arg(i + 1)
                         .arg(kFanOutPages);
            return false;
        }
        const auto [first, last] = std::ranges::minmax(change->shown);
        m_fanOutMs.push_back(last - first);
        m_lineToLastMs.push_back(last - change->onLine);
    }

    pages.resize(kIdlePages);
    runEvents(kIdleSettle);
    const double scheduled = cpuMs(service.pid);
    const double ticks = tickCpuMs(service.pid);
    runEvents(m_counts.serviceIdle);
    const double perMinute = 60.0 / double(m_counts.serviceIdle.count());
    m_idleMs.push_back((cpuMs(service.pid) - scheduled) * perMinute);
    m_idleTickMs.push_back((tickCpuMs(service.pid) - ticks) * perMinute);
    if (!std::ranges::all_of(pages, [](const auto& open) { return open->isOpen(); })) {
        *error = QStringLiteral("the service closed an idle page's event stream");
        return false;
    }
    return true;
}

void WebFigures::addRows(Table& table) const {
    const Summary ready = summarise(m_readyMs);
    table.add({QStringLiteral("web: page ready (first state)"), QStringLiteral("ms"), ready,
               QStringLiteral("load event"), summarise(m_loadEventMs),
               QStringLiteral("median <= %1").arg(number(kReadyTargetMs, 0)), 0},
              ready.median <= kReadyTargetMs);
    const Summary change = summarise(m_lineToPageMs);
    table.add({QStringLiteral("web: state change, line to page"), QStringLiteral("ms"), change,
               QStringLiteral("from the command's write"), summarise(m_commandToPageMs),
               QStringLiteral("median <= %1").arg(number(kChangeTargetMs, 0)), 2},
              change.median <= kChangeTargetMs);
    const Summary fanOut = summarise(m_fanOutMs);
    table.add({QStringLiteral("web: 50 pages, first to last"), QStringLiteral("ms"), fanOut,
               QStringLiteral("line to the last page"), summarise(m_lineToLastMs),
               QStringLiteral("median <= %1").arg(number(kFanOutTargetMs, 0)), 2},
              fanOut.median <= kFanOutTargetMs);
    // Counted from the scheduler's nanoseconds, as the other idle rows.
    const Summary idle = summarise(m_idleMs);
    table.add({QStringLiteral("web idle, 10 pages: CPU a minute"),
               QStringLiteral("ms"),
               idle,
               QString(),
               {},
               QStringLiteral("median <= %1").arg(number(kIdleTargetMs, 0)),
               1},
              idle.median <= kIdleTargetMs);
    const Summary idleTicks = summarise(m_idleTickMs);
    table.add({QStringLiteral("  the same, /proc stat ticks"),
               QStringLiteral("ms"),
               idleTicks,
               QString(),
               {},
               QStringLiteral("median <= %1").arg(number(kIdleTargetMs, 0)),
               1},
              idleTicks.median <= kIdleTargetMs, false);
    const Summary weight = constant(m_pageBytes / 1000);
    table.add({QStringLiteral("web: page, script and styles"),
               QStringLiteral("kB"),
               weight,
               QString(),
               {},
               QStringLiteral("<= %1").arg(number(kWeightTargetKb, 0)),
               1},
              weight.median <= kWeightTargetKb);
}

} // namespace kavo::bench
