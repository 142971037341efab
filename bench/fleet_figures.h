#pragma once

// A building of a hundred projectors: a hundred instances of
// kavo-projectord on one mosquitto broker, one of them serving the web page
// whose Building section shows them all. How soon Chromium lists all of
// them, how soon a power-off sent to the hundred through the broker reaches
// each and the view shows them in standby, their idle CPU time and memory
// and the broker's, and how they and the view recover when the broker is
// killed and started again.

#include "bench_run.h"
#include "bench_table.h"

#include <vector>

namespace kavo::bench {

class FleetFigures {
  public:
    FleetFigures(const Workspace& workspace, const Programs& programs, const Counts& counts)
        : m_workspace(workspace), m_programs(programs), m_counts(counts) {}

    bool measure(QString* error);
    void addRows(Table& table) const;
    QString describe() const;

  private:
    const Workspace& m_workspace;
    const Programs& m_programs;
    const Counts& m_counts;
    std::vector<double> m_announcedMs;
    std::vector<double> m_listedMs, m_loadEventMs;
    std::vector<double> m_reachedMs, m_accepted, m_stateStandbyMs;
    double m_viewStandbyMs = -1;
    std::vector<double> m_idleMs, m_pssMb;
    double m_brokerIdleMs = -1, m_brokerPssMb = -1;
    std::vector<double> m_backMs;
    double m_recoveredMs = -1, m_listedAfter = 0, m_retainedAfter = 0;
};

} // namespace kavo::bench
