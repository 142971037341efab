#pragma once

// A pseudo-terminal for the benchmarks: the program under measurement opens
// the slave through the port folder (COM<n>), the benchmark plays the
// projector on the master.

#include <QByteArray>
#include <QString>

namespace kavo::bench {

class BenchPty {
  public:
    BenchPty();
    ~BenchPty();
    BenchPty(const BenchPty&) = delete;
    BenchPty& operator=(const BenchPty&) = delete;

    bool isValid() const { return m_master >= 0; }
    // Non-blocking master descriptor.
    int master() const { return m_master; }
    // The slave end held open here; what is written to it reaches the master.
    int slave() const { return m_slave; }
    QString slavePath() const { return m_slavePath; }
    // Links the slave as <folder>/COM<number>, replacing an older entry.
    bool linkAs(const QString& folder, int number) const;
    // Writes all of bytes, waiting while the line is full. False on error.
    bool writeAll(QByteArrayView bytes) const;
    // Whatever is waiting, without blocking.
    QByteArray readAvailable() const;

  private:
    int m_master = -1;
    int m_slave = -1; // kept open so that the line never hangs up between users
    QString m_slavePath;
};

} // namespace kavo::bench
