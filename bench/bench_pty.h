#pragma once

// A pseudo-terminal for the benchmarks, the same raw line the simulated
// projector uses: the program under measurement opens the slave through the
// port folder (COM<n>), the benchmark plays the projector on the master.

#include "pseudo_terminal.h"

#include <QByteArray>
#include <QString>

namespace kavo::bench {

class BenchPty {
  public:
    BenchPty();
    ~BenchPty();
    BenchPty(const BenchPty&) = delete;
    BenchPty& operator=(const BenchPty&) = delete;

    bool isValid() const { return m_line.isOpen(); }
    // Non-blocking master descriptor.
    int master() const { return m_line.master(); }
    // The slave end held open here; what is written to it reaches the master.
    int slave() const { return m_line.device(); }
    QString slavePath() const { return m_line.devicePath(); }
    // Links the slave as <folder>/COM<number> for as long as this lives. A
    // plain link: the simulator's record beside it would mark it as stale,
    // since the process holding the line is no simulator.
    bool linkAs(const QString& folder, int number);
    // Writes all of bytes, waiting while the line is full. False on error.
    bool writeAll(QByteArrayView bytes) const;
    // Whatever is waiting, without blocking.
    QByteArray readAvailable() const;

  private:
    void removeLink();

    sim::PseudoTerminal m_line;
    QString m_link;
};

} // namespace kavo::bench
