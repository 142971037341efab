#include "metrics.h"

#include "exchange_report.h"
#include "exchanger.h"
#include "projector_vocabulary.h"

#include <algorithm>
#include <cmath>
#include <QJsonArray>
#include <QLocale>

namespace kavo::web {
namespace {

constexpr std::array<const char*, kWhoKinds> kWhoWords{"unix", "tcp",  "pjlink", "mqtt",
                                                       "http", "poll", "other"};
constexpr std::array kOutcomes{ReplyKind::Answered, ReplyKind::NoReply,    ReplyKind::LineLost,
                               ReplyKind::Refused,  ReplyKind::Unfinished, ReplyKind::Overflow,
                               ReplyKind::Undecoded};
static_assert(kOutcomes.size() + 1 == kOutcomeKinds);
constexpr std::array kPowerStates{PowerState::On,         PowerState::Standby,
                                  PowerState::WarmingUp,  PowerState::CoolingDown,
                                  PowerState::PowerFault, PowerState::TemperatureFault,
                                  PowerState::LampFailure};
constexpr std::array kFaults{PowerState::PowerFault, PowerState::TemperatureFault,
                             PowerState::LampFailure};
const QStringList kClientKinds{QStringLiteral("unix"),   QStringLiteral("tcp"),
                               QStringLiteral("pjlink"), QStringLiteral("mqtt"),
                               QStringLiteral("http"),   QStringLiteral("websocket")};

// "no answer" as a label value: no_answer.
QString outcomeLabel(std::size_t index) {
    return index < kOutcomes.size() ? outcomeWord(kOutcomes[index]).replace(QLatin1Char(' '), '_')
                                    : QStringLiteral("other");
}

QByteArray number(double value) {
    return QByteArray::number(value, 'g', QLocale::FloatingPointShortest);
}

// Backslash, double quote and line feed escaped, as label values require.
QByteArray labelValue(const QString& value) {
    QByteArray escaped;
    for (const char c : value.toUtf8()) {
        if (c == '\\' || c == '"')
            escaped += '\\';
        escaped += c == '\n' ? QByteArrayLiteral("\\n") : QByteArray(1, c);
    }
    return escaped;
}

class Exposition {
  public:
    void family(const char* name, const char* type, const char* help) {
        m_text += QByteArrayLiteral("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' +
                  type + '\n';
    }
    void sample(const QByteArray& name, double value) {
        m_text += name + ' ' + number(value) + '\n';
    }
    void sample(const QByteArray& name, const char* label, const QString& labelText, double value) {
        sample(name + '{' + label + "=\"" + labelValue(labelText) + "\"}", value);
    }
    QByteArray text() const { return m_text; }

  private:
    QByteArray m_text;
};

} // namespace

void Metrics::exchangeEnded(QStringView whoKind, QStringView outcome, double seconds) {
    std::size_t who = 0;
    while (who + 1 < kWhoKinds && whoKind != QLatin1String(kWhoWords[who]))
        ++who;
    std::size_t kind = 0;
    while (kind < kOutcomes.size() && outcome != outcomeWord(kOutcomes[kind]))
        ++kind;
    ++m_exchanges[who][kind];
    // A clock that went back or a broken value must not make the sum shrink.
    const double spent = std::isfinite(seconds) ? std::max(0.0, seconds) : 0.0;
    const auto bucket =
        std::ranges::find_if(kExchangeBuckets, [&](double le) { return spent <= le; });
    if (bucket != kExchangeBuckets.end())
        ++m_buckets[std::size_t(bucket - kExchangeBuckets.begin())];
    ++m_count;
    m_sum += spent;
}

QByteArray Metrics::text(const MetricsSnapshot& snapshot) const {
    Exposition out;
    out.family("kavo_up", "gauge", "Whether the service has the line to the projector open.");
    out.sample("kavo_up", snapshot.lineOpen ? 1 : 0);

    const PowerState power = powerStateOf(snapshot.state.value(QStringLiteral("power")).toString());
    out.family("kavo_power_state", "gauge",
               "The projector's power state: 1 for the current one, all 0 when unknown.");
    for (const PowerState state : kPowerStates)
        out.sample("kavo_power_state", "state", powerWord(state), state == power ? 1 : 0);

    out.family("kavo_lamp_usage_seconds", "gauge",
               "The lamp's time in use, as the projector counts it.");
    if (const QJsonValue hours = snapshot.state.value(QStringLiteral("lamp_hours"));
        hours.isDouble())
        out.sample("kavo_lamp_usage_seconds", hours.toDouble() * 3600);

    out.family("kavo_temperature_celsius", "gauge", "The projector's three temperature sensors.");
    const QJsonArray degrees = snapshot.state.value(QStringLiteral("temperatures_c")).toArray();
    for (qsizetype sensor = 0; sensor < degrees.size(); ++sensor) {
        if (degrees[sensor].isDouble())
            out.sample("kavo_temperature_celsius", "sensor", QString::number(sensor + 1),
                       degrees[sensor].toDouble());
    }

    const bool lampFailed =
        snapshot.state.value(QStringLiteral("lamp_status")).toString() == QLatin1String("failure");
    out.family("kavo_error", "gauge", "Whether the projector reports this fault.");
    for (const PowerState fault : kFaults)
        out.sample("kavo_error", "type", powerWord(fault),
                   fault == power || (fault == PowerState::LampFailure && lampFailed) ? 1 : 0);

    out.family("kavo_exchanges_total", "counter",
               "Exchanges on the line, by the kind of client and their outcome.");
    for (std::size_t who = 0; who < kWhoKinds; ++who) {
        for (std::size_t kind = 0; kind < kOutcomeKinds; ++kind) {
            if (m_exchanges[who][kind] == 0)
                continue;
            out.sample("kavo_exchanges_total{who_kind=\"" + labelValue(kWhoWords[who]) +
                           "\",outcome=\"" + labelValue(outcomeLabel(kind)) + "\"}",
                       double(m_exchanges[who][kind]));
        }
    }

    out.family("kavo_exchange_duration_seconds", "histogram",
               "How long exchanges on the line took, from command to reply or window's end.");
    quint64 cumulative = 0;
    for (std::size_t bucket = 0; bucket < kExchangeBuckets.size(); ++bucket) {
        cumulative += m_buckets[bucket];
        out.sample("kavo_exchange_duration_seconds_bucket", "le",
                   QString::fromLatin1(number(kExchangeBuckets[bucket])), double(cumulative));
    }
    out.sample("kavo_exchange_duration_seconds_bucket", "le", QStringLiteral("+Inf"),
               double(m_count));
    out.sample("kavo_exchange_duration_seconds_sum", m_sum);
    out.sample("kavo_exchange_duration_seconds_count", double(m_count));

    out.family("kavo_clients", "gauge", "Clients connected now, by kind.");
    std::map<QString, int> clients = snapshot.clients;
    for (const QString& kind : kClientKinds)
        clients.try_emplace(kind, 0);
    for (const auto& [kind, count] : clients)
        out.sample("kavo_clients", "kind", kind, count);
    return out.text();
}

} // namespace kavo::web
