#pragma once

// kavo-projectord's figures, taken from outside on pseudo-terminals without
// a display: one status read through it against the same read on a
// pseudo-terminal alone, ten clients at once, kavoctl's whole run through it
// against the same on a line of its own, and ten instances idle with default
// polling for their CPU time and memory.

#include "bench_run.h"
#include "bench_table.h"

#include <vector>

namespace kavo::bench {

class ServiceFigures {
  public:
    ServiceFigures(const Workspace& workspace, const Programs& programs, const Counts& counts)
        : m_workspace(workspace), m_programs(programs), m_counts(counts) {}

    bool measure(QString* error);
    void addRows(Table& table) const;
    QString describe() const;

  private:
    bool exchanges(QString* error);
    bool singleReads(int direct, int client, QString* error);
    bool bursts(const std::vector<int>& clients, QString* error);
    bool idle(QString* error);
    bool commandLines(const QString& direct, const QString& socket, QString* error);

    const Workspace& m_workspace;
    const Programs& m_programs;
    const Counts& m_counts;
    std::vector<double> m_ptyAloneUs, m_throughServiceUs, m_addedUs;
    std::vector<double> m_burstWorstMs, m_burstAnswered;
    std::vector<double> m_idleTickMs, m_idleScheduledMs, m_idleReads;
    std::vector<double> m_pssMb, m_rssMb;
    // kavoctl's whole run, by command: direct on a line, through the service.
    std::vector<double> m_sendDirectMs, m_sendThroughMs, m_statusDirectMs, m_statusThroughMs;
};

} // namespace kavo::bench
