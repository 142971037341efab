#pragma once

// A building's projectors on one MQTT broker: twenty instances of
// kavo-projectord with --mqtt on Debian's mosquitto, how soon all are
// discovered, whether all answer a power command, how long a state change
// takes to reach a subscriber, and their idle CPU time and memory.

#include "bench_run.h"
#include "bench_table.h"

#include <vector>

namespace kavo::bench {

class BuildingFigures {
  public:
    BuildingFigures(const Workspace& workspace, const Programs& programs, const Counts& counts)
        : m_workspace(workspace), m_programs(programs), m_counts(counts) {}

    bool measure(QString* error);
    void addRows(Table& table) const;
    QString describe() const;

  private:
    const Workspace& m_workspace;
    const Programs& m_programs;
    const Counts& m_counts;
    std::vector<double> m_discoveredMs, m_answered, m_latencyMs, m_idleMs, m_pssMb;
};

} // namespace kavo::bench
