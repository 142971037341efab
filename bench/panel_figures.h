#pragma once

// The panel's figures: start-up to its window's map and resident memory
// against plain Qt windows started the same way, idle CPU, and the
// in-process figures of kavo-bench-panel (click to wire, reply to screen,
// hold cadence, flood), all on the benchmark's virtual display.

#include "bench_display.h"
#include "bench_pty.h"
#include "bench_run.h"
#include "bench_table.h"

#include <optional>
#include <QMap>
#include <vector>

namespace kavo::bench {

class PanelFigures {
  public:
    PanelFigures(const Workspace& workspace, const Programs& programs, const Counts& counts,
                 Display& display)
        : m_workspace(workspace), m_programs(programs), m_counts(counts), m_display(display) {}
    ~PanelFigures();

    bool measure(QString* error);
    void addRows(Table& table) const;
    // The heading line of the panel's part.
    QString describe() const;

  private:
    struct Shown {
        double ms = 0;
        double residentMb = 0;
    };

    bool startProjector(QString* error);
    std::optional<Shown> startOnce(const QString& program, const QStringList& arguments,
                                   const QString& wantedTitle, QString* error);
    bool startUp(QString* error);
    bool idle(QString* error);
    bool inProcess(QString* error);
    std::vector<double> figure(const char* name) const;

    const Workspace& m_workspace;
    const Programs& m_programs;
    const Counts& m_counts;
    Display& m_display;
    Child m_simulator;
    BenchPty m_pty;
    QString m_projector;
    std::vector<double> m_panelStart, m_bareStart, m_panelMemory, m_bareMemory;
    std::vector<double> m_textStart, m_textMemory;
    std::vector<double> m_referenceStart, m_referenceMemory;
    std::vector<double> m_referencePortStart, m_referencePortMemory;
    std::vector<double> m_panelIdle, m_bareIdle;
    QMap<QString, std::vector<double>> m_inProcess;
};

} // namespace kavo::bench
