#pragma once

// GET /metrics: the projector's state, the exchanges on its line and the
// service's clients in Prometheus' text exposition format (version 0.0.4).
// The counters' labels come from fixed sets, so their number stays bounded
// whatever the clients do.

#include <array>
#include <map>
#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringView>

namespace kavo::web {

struct MetricsSnapshot {
    bool lineOpen = false;
    QJsonObject state; // kavo::ProjectorState::toJson()
    std::map<QString, int>
        clients; // kind ("unix", "tcp", "pjlink", "mqtt", "http", "websocket") -> count
};

// The histogram's upper bounds in seconds: a serial exchange takes from a few
// milliseconds to its reply window of some seconds.
inline constexpr std::array kExchangeBuckets{0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0};
inline constexpr std::size_t kWhoKinds = 7;     // unix tcp pjlink mqtt http poll other
inline constexpr std::size_t kOutcomeKinds = 8; // the seven outcomes and other

class Metrics {
  public:
    // One exchange ended: whoKind is the journal's who before ':' ("unix",
    // "tcp", "pjlink", "mqtt", "http", or "poll" for the service's own
    // reads), outcome an outcomeWord() ("answered", "no answer" ...);
    // anything else counts as "other".
    void exchangeEnded(QStringView whoKind, QStringView outcome, double seconds);
    QByteArray text(const MetricsSnapshot& snapshot) const;

  private:
    std::array<std::array<quint64, kOutcomeKinds>, kWhoKinds> m_exchanges{};
    std::array<quint64, kExchangeBuckets.size()> m_buckets{}; // each bucket on its own
    quint64 m_count = 0;
    double m_sum = 0;
};

} // namespace kavo::web
