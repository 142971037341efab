#pragma once

// kavo-projectord under measurement: its instances, each on a line of its
// own with its journal in a file, and the projectors on those lines, all
// played by one thread with the simulator's model.

#include "bench_process.h"
#include "bench_pty.h"
#include "bench_run.h"
#include "projector_model.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace kavo::bench {

// What the service's reads and replies look like on the line.
inline const QByteArray kStatusRead = "CR0\r";
inline const QByteArray kStandbyReply = "80\r";

// Projectors on pseudo-terminals, all played by one thread with the
// simulator's model: every command line is answered as soon as its CR is
// read, a status read of a projector in standby with "80" + CR. The thread
// waits in poll(): spinning instead only took a processor from the other two
// parties on a 2-core machine and made every exchange slower.
class ProjectorLines {
  public:
    explicit ProjectorLines(int count);
    ~ProjectorLines();
    ProjectorLines(const ProjectorLines&) = delete;
    ProjectorLines& operator=(const ProjectorLines&) = delete;

    bool isValid() const;
    QString device(int line) const { return m_lines[std::size_t(line)]->pty.slavePath(); }
    int answered(int line) const { return m_lines[std::size_t(line)]->answered; }
    // When the last reply to `read` (CR included) went out on the line before `ms`.
    std::optional<double> replyBefore(int line, const QByteArray& read, double ms) const;

  private:
    struct Line {
        BenchPty pty;
        kavo::sim::ProjectorModel model;
        std::atomic<int> answered = 0;
        std::vector<std::pair<QByteArray, double>> replies; // each read's, when it went out
        Line();
    };

    void run();

    std::vector<std::unique_ptr<Line>> m_lines;
    mutable std::mutex m_mutex;
    std::atomic<bool> m_stop = false;
    std::thread m_thread;
};

// The instances of the service one measurement started: those still
// running when it ends, however it ends, are stopped.
class Instances {
  public:
    Instances() = default;
    ~Instances();
    Instances(const Instances&) = delete;
    Instances& operator=(const Instances&) = delete;

    std::vector<Child>& all() { return m_all; }
    Child& operator[](int i) { return m_all[std::size_t(i)]; }
    int size() const { return int(m_all.size()); }

  private:
    std::vector<Child> m_all;
};

// Starts instances of the service in the workspace.
class ServiceLauncher {
  public:
    ServiceLauncher(const Workspace& workspace, const QString& program)
        : m_workspace(workspace), m_program(program) {}

    QString journalPath(const QString& name) const;
    QString socketPath(const QString& name) const;
    // The service on a projector's line; its journal (standard output) goes
    // to a file of its own.
    std::optional<Child> start(const QString& name, const QString& device,
                               const QStringList& options, QString* error) const;
    // Waits until the journal shows the last of the reads made when the line
    // opens (the lamp mode), so that none of them falls into a measurement.
    bool warmedUp(const Child& service, const QString& name, QString* error) const;
    // `count` instances, the i-th named name(i) on line i with options(i),
    // all started before any is waited for, then each warmed up.
    bool startAll(int count, const ProjectorLines& lines, const std::function<QString(int)>& name,
                  const std::function<QStringList(int)>& options, Instances& into,
                  QString* error) const;
    // Stops the service: what was measured counts only if it still ran.
    bool stopMeasured(Child& service, const QString& name, bool measured, QString* error) const;

  private:
    const Workspace& m_workspace;
    QString m_program;
};

} // namespace kavo::bench
