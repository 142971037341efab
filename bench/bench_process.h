#pragma once

// The programs under measurement as child processes, started with exactly
// the environment given, and what /proc says about them.

#include <optional>
#include <QString>
#include <QStringList>
#include <sys/types.h>

namespace kavo::bench {

// CLOCK_MONOTONIC in ms.
double nowMs();
QString findProgram(const QString& name);

struct Child {
    pid_t pid = -1;
    QString name;
};

struct Redirect {
    int out = -1;   // becomes stdout; the log file when -1
    int third = -1; // becomes descriptor 3, when set
};

// Starts program with exactly the given environment; stderr goes to the log.
std::optional<Child> spawn(const QString& program, const QStringList& arguments,
                           const QStringList& environment, const QString& logPath,
                           Redirect redirect = {});
// SIGTERM, then SIGKILL after 2 s; the child is reaped either way.
void stop(Child& child);
bool alive(const Child& child);
// Waits for the child to end: its exit status, or -1 when it did not end
// by itself.
int waitExit(Child& child);

double residentMb(pid_t pid);
// CPU time of all threads of a process so far, in ms, from the scheduler's
// nanosecond accounting (the tick counts of /proc/<pid>/stat are too coarse
// for an idle program).
double cpuMs(pid_t pid);
// CPU time of a process so far, in ms, as /proc/<pid>/stat counts it: user
// and system time in clock ticks.
double tickCpuMs(pid_t pid);
// A field of /proc/<pid>/smaps_rollup ("Pss", "Rss") in MB.
double rollupMb(pid_t pid, const QByteArray& field);

QString loadAverage();
QString cpuModel();

} // namespace kavo::bench
