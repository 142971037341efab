#include "alert_monitor.h"

#include "projector_vocabulary.h"

#include <algorithm>

namespace kavo::service {
namespace {

struct EventName {
    const char* event;
    const char* description;
};

// The monitor's conditions in the order of its Kind, then the one-off events.
constexpr std::array kEventNames{
    EventName{"lamp_hours", "Lamp hours at or past the alert level"},
    EventName{"lamp_failure", "Lamp failure"},
    EventName{"temperature_fault", "Temperature fault"},
    EventName{"power_fault", "Power fault"},
    EventName{"temperature", "Temperature above the alert level"},
    EventName{"line_lost", "Line to the projector lost"},
    EventName{"schedule_failed", "A scheduled action failed"},
    EventName{"schedule_missed", "A scheduled action was missed"},
};

QString seconds(std::chrono::milliseconds span) {
    return QString::number(std::chrono::duration_cast<std::chrono::seconds>(span).count());
}

QString degrees(double value) {
    return QString::number(value, 'f', 1) + QStringLiteral(" °C");
}

} // namespace

QString alertDescription(const QString& event) {
    for (const EventName& name : kEventNames) {
        if (event == QLatin1String(name.event))
            return QString::fromLatin1(name.description);
    }
    return event;
}

AlertMonitor::AlertMonitor(LineQueue& queue, TimerFactory& timers, Journal& journal,
                           AlertSettings settings, Clock clock)
    : m_queue(queue), m_timers(timers), m_journal(journal), m_settings(std::move(settings)),
      m_clock(std::move(clock)) {
    for (std::size_t kind = 0; kind < m_conditions.size(); ++kind) {
        m_conditions[kind].clearLater = oneShot([this, kind] { clear(Kind(kind)); });
        m_conditions[kind].raiseLater = oneShot([this, kind] {
            Condition& condition = m_conditions[kind];
            if (std::exchange(condition.pendingRaise, false))
                raise(Kind(kind));
        });
    }
    m_lineLost = oneShot([this] {
        observe(LineLost, true,
                QStringLiteral("down since %1 (more than %2 s)")
                    .arg(m_lineDownSince.toString(Qt::ISODate), seconds(m_settings.lineAfter)));
    });
    // The queue outlives the monitor: its observer checks first.
    const std::weak_ptr<int> alive = m_alive;
    m_queue.addObserver([this, alive](const QString&, const Exchange&, std::chrono::milliseconds) {
        if (!alive.expired())
            stateRead();
    });
}

AlertMonitor::~AlertMonitor() = default;

std::unique_ptr<Timer> AlertMonitor::oneShot(std::function<void()> fire) {
    std::unique_ptr<Timer> timer = m_timers.createTimer();
    timer->setTickHandler([timer = timer.get(), fire = std::move(fire)] {
        timer->setEnabled(false);
        fire();
    });
    return timer;
}

void AlertMonitor::start(bool lineOpen) {
    if (!lineOpen)
        lineChanged(false);
}

void AlertMonitor::lineChanged(bool open) {
    if (open) {
        m_lineLost->setEnabled(false);
        observe(LineLost, false,
                QStringLiteral("open again after %1 s")
                    .arg(m_lineDownSince.isValid() ? m_lineDownSince.secsTo(m_clock()) : 0));
        return;
    }
    m_lineDownSince = m_clock();
    // Lost again before a raised loss was cleared: still the same loss.
    if (m_conditions[LineLost].raised)
        observe(LineLost, true,
                QStringLiteral("down again since %1").arg(m_lineDownSince.toString(Qt::ISODate)));
    m_lineLost->setInterval(m_settings.lineAfter);
    m_lineLost->setEnabled(true);
}

// What is unknown (never read, or forgotten with the line) changes nothing:
// only a reading that shows a condition gone clears it.
void AlertMonitor::stateRead() {
    const ProjectorState& state = m_queue.state();
    if (const QJsonValue hours = state.value(StateField::LampHours);
        m_settings.lampHours && hours.isDouble()) {
        const bool reached = hours.toInt() >= *m_settings.lampHours;
        observe(LampHours, reached,
                QStringLiteral("%1 h %2 (alert at %3)")
                    .arg(hours.toInt())
                    .arg(reached ? QStringLiteral("reached") : QStringLiteral("now"))
                    .arg(*m_settings.lampHours));
    }
    const QString power = state.value(StateField::Power).toString();
    const QString lamp = state.value(StateField::LampStatus).toString();
    const QString powerDetail = QStringLiteral("power state %1").arg(power);
    if (!power.isEmpty()) {
        observe(TemperatureFault, powerStateOf(power) == PowerState::TemperatureFault, powerDetail);
        observe(PowerFault, powerStateOf(power) == PowerState::PowerFault, powerDetail);
    }
    if (!power.isEmpty() || !lamp.isEmpty()) {
        QStringList shown;
        if (!power.isEmpty())
            shown.append(powerDetail);
        if (!lamp.isEmpty())
            shown.append(QStringLiteral("lamp status %1").arg(lamp));
        observe(LampFailure,
                powerStateOf(power) == PowerState::LampFailure || lamp == QLatin1String("failure"),
                shown.join(QStringLiteral(", ")));
    }
    if (const QJsonArray temperatures = state.value(StateField::Temperatures).toArray();
        m_settings.temperature && !temperatures.isEmpty()) {
        const auto hottest = std::ranges::max_element(
            temperatures, {}, [](const QJsonValue& value) { return value.toDouble(); });
        const double value = hottest->toDouble();
        const bool above = value > *m_settings.temperature;
        const auto sensor = std::distance(temperatures.begin(), hottest) + 1;
        observe(Temperature, above,
                above ? QStringLiteral("temperature %1 at %2, above %3")
                            .arg(sensor)
                            .arg(degrees(value), degrees(*m_settings.temperature))
                      : QStringLiteral("highest %1 (alert above %2)")
                            .arg(degrees(value), degrees(*m_settings.temperature)));
    }
}

void AlertMonitor::observe(Kind kind, bool holds, const QString& detail) {
    Condition& condition = m_conditions[kind];
    condition.detail = detail;
    if (!holds) {
        condition.pendingRaise = false;
        condition.raiseLater->setEnabled(false);
        if (condition.raised && !condition.clearLater->isEnabled()) {
            condition.clearLater->setInterval(m_settings.clearAfter);
            condition.clearLater->setEnabled(true);
        }
        return;
    }
    condition.clearLater->setEnabled(false);
    if (condition.raised || condition.pendingRaise)
        return;
    if (condition.clearedAt) {
        const auto since = m_timers.now() - *condition.clearedAt;
        if (since < m_settings.quietAfter) {
            condition.pendingRaise = true;
            condition.raiseLater->setInterval(m_settings.quietAfter - since);
            condition.raiseLater->setEnabled(true);
            return;
        }
    }
    raise(kind);
}

void AlertMonitor::raise(Kind kind) {
    Condition& condition = m_conditions[kind];
    condition.raised = true;
    say(QLatin1String(kEventNames[kind].event), true, condition.detail, &condition.open);
}

void AlertMonitor::clear(Kind kind) {
    Condition& condition = m_conditions[kind];
    if (!condition.raised)
        return;
    condition.raised = false;
    condition.clearedAt = m_timers.now();
    condition.open = {};
    say(QLatin1String(kEventNames[kind].event), false, condition.detail);
}

void AlertMonitor::raiseOnce(const QString& event, const QString& detail) {
    say(event, true, detail);
}

void AlertMonitor::say(const QString& event, bool raised, const QString& detail,
                       QJsonObject* open) {
    const QString state = raised ? QStringLiteral("raised") : QStringLiteral("cleared");
    const QJsonObject json{
        {QStringLiteral("event"), event},
        {QStringLiteral("state"), state},
        {QStringLiteral("name"), m_settings.name},
        {QStringLiteral("description"), alertDescription(event)},
        {QStringLiteral("detail"), detail},
        {QStringLiteral("time"), m_clock().toUTC().toString(Qt::ISODateWithMs)},
    };
    m_events.push_back(json);
    if (m_events.size() > kAlertEventsKept)
        m_events.pop_front();
    m_journal.write(m_settings.name, QStringLiteral("alert %1 %2: %3").arg(event, state, detail));
    // A listener that reads the open alerts finds a raised one among them.
    if (open)
        *open = json;
    for (const Listener& listener : m_listeners)
        listener(json);
}

QJsonArray AlertMonitor::openAlerts() const {
    std::vector<QJsonObject> open;
    for (const Condition& condition : m_conditions) {
        if (condition.raised)
            open.push_back(condition.open);
    }
    std::ranges::sort(open, {}, [](const QJsonObject& event) {
        return event.value(QStringLiteral("time")).toString();
    });
    QJsonArray array;
    for (const QJsonObject& event : open)
        array.append(event);
    return array;
}

QJsonArray AlertMonitor::recentEvents() const {
    QJsonArray array;
    for (const QJsonObject& event : m_events)
        array.append(event);
    return array;
}

QJsonObject AlertMonitor::toJson() const {
    return {{QStringLiteral("open"), openAlerts()}, {QStringLiteral("events"), recentEvents()}};
}

} // namespace kavo::service
