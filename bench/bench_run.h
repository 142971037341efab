#pragma once

// What every part of the benchmark shares: the programs it measures, how
// many runs and samples it takes, and the run's temporary folder with the
// configuration, runtime folder and environment the programs start with.

#include <chrono>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace kavo::bench {

struct Programs {
    QString panel, bare, reference, referencePort, harness, simulator, service, kavoctl;
};

struct Counts {
    int startUpRuns = 11;
    int longRuns = 3;
    int samples = 200;
    int bursts = 20;
    std::chrono::seconds serviceIdle{60};
    int stateChanges = 30; // to one open web page
};

class Workspace {
  public:
    // The configuration holds the panel's stored port and speed (COM1 at
    // 19200) and an empty port folder.
    bool create(QString* error);
    // Keeps the folder after the run, for its logs.
    void keep() { m_work.setAutoRemove(false); }

    QString path() const { return m_work.path(); }
    QString filePath(const QString& name) const { return m_work.filePath(name); }
    QString log(const QString& name) const { return filePath(name + QStringLiteral(".log")); }
    QString config() const { return m_config; }
    QString portFolder() const { return m_config + QStringLiteral("/KAVO/ports"); }
    QString runtime() const { return m_runtime; }

    // The environment every program starts with, on the given X display.
    void setDisplay(const QString& display) { m_display = display; }
    QStringList environment() const;

  private:
    QTemporaryDir m_work;
    QString m_config;
    QString m_runtime;
    QString m_display;
};

} // namespace kavo::bench
