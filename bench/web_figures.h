#pragma once

// kavo-projectord's web page (--http on loopback, without accounts): how soon
// Chromium shows it with its first state, how soon a change on the line
// reaches one open page and fifty, the service's CPU time idle with ten pages
// open, and what the page weighs. The pages beside Chromium's are event
// streams opened the way the page opens its own.

#include "bench_process.h"
#include "bench_run.h"
#include "bench_table.h"

#include <vector>

class QUrl;

namespace kavo::bench {

class ProjectorLines;

class WebFigures {
  public:
    WebFigures(const Workspace& workspace, const Programs& programs, const Counts& counts)
        : m_workspace(workspace), m_programs(programs), m_counts(counts) {}

    bool measure(QString* error);
    void addRows(Table& table) const;
    QString describe() const;

  private:
    bool measureOn(const Child& service, const ProjectorLines& lines, const QString& journal,
                   const QString& socket, QString* error);
    bool pageLoads(const QUrl& page, QString* error);

    const Workspace& m_workspace;
    const Programs& m_programs;
    const Counts& m_counts;
    std::vector<double> m_readyMs, m_loadEventMs;
    std::vector<double> m_lineToPageMs, m_commandToPageMs;
    std::vector<double> m_fanOutMs, m_lineToLastMs;
    std::vector<double> m_idleMs, m_idleTickMs;
    double m_pageBytes = 0;
};

} // namespace kavo::bench
