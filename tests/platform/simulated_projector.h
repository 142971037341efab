#pragma once

// The simulated projector as a process for tests: on COM<port> of the current
// config home (a pseudo-terminal linked into the port folder), or with
// --listen among the options on loopback TCP, COM<port> then an entry holding
// its socket:// name. Stopped on destruction.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace kavo::test {

class SimulatedProjector {
  public:
    SimulatedProjector(const QString& program, int port, const QStringList& options);
    ~SimulatedProjector();
    SimulatedProjector(const SimulatedProjector&) = delete;
    SimulatedProjector& operator=(const SimulatedProjector&) = delete;

    // socket://127.0.0.1:<port> when listening.
    QString name() const { return m_name; }
    // The commands it received, as its log shows them, once there are `count`.
    QStringList received(qsizetype count);
    // A change by hand, one line on its standard input ("lamp-hours 1500").
    void control(const QByteArray& line) {
        m_process.write(line + '\n');
        m_process.waitForBytesWritten();
    }
    // Stops it now, as SIGTERM does.
    void stop();

  private:
    QProcess m_process;
    QByteArray m_log;
    QString m_name;
};

} // namespace kavo::test
