#include "bench_process.h"

#include <cmath>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;

namespace kavo::bench {

double nowMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

QString findProgram(const QString& name) {
    return QStandardPaths::findExecutable(name);
}

std::optional<Child> spawn(const QString& program, const QStringList& arguments,
                           const QStringList& environment, const QString& logPath,
                           Redirect redirect) {
    std::vector<QByteArray> argStore{QFile::encodeName(program)};
    for (const QString& argument : arguments)
        argStore.push_back(argument.toLocal8Bit());
    std::vector<QByteArray> envStore;
    for (const QString& entry : environment)
        envStore.push_back(entry.toLocal8Bit());
    std::vector<char*> argv, envp;
    for (QByteArray& a : argStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (QByteArray& e : envStore)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const QByteArray log = QFile::encodeName(logPath);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, log.constData(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    if (redirect.out >= 0)
        posix_spawn_file_actions_adddup2(&actions, redirect.out, 1);
    else
        posix_spawn_file_actions_adddup2(&actions, 2, 1);
    if (redirect.third >= 0)
        posix_spawn_file_actions_adddup2(&actions, redirect.third, 3);
    pid_t pid = -1;
    const int failed = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
        return std::nullopt;
    return Child{pid, QFileInfo(program).fileName()};
}

void stop(Child& child) {
    if (child.pid <= 0)
        return;
    ::kill(child.pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (::waitpid(child.pid, nullptr, WNOHANG) == child.pid) {
            child.pid = -1;
            return;
        }
        std::this_thread::sleep_for(10ms);
    }
    ::kill(child.pid, SIGKILL);
    ::waitpid(child.pid, nullptr, 0);
    child.pid = -1;
}

bool alive(const Child& child) {
    return child.pid > 0 && ::waitpid(child.pid, nullptr, WNOHANG) == 0;
}

int waitExit(Child& child) {
    int status = 0;
    const bool reaped = child.pid > 0 && ::waitpid(child.pid, &status, 0) == child.pid;
    child.pid = -1;
    return reaped && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double residentMb(pid_t pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024;
    }
    return -1;
}

double cpuMs(pid_t pid) {
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    double total = 0;
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(tasks.filePath(task) + QStringLiteral("/schedstat"));
        if (stat.open(QIODevice::ReadOnly))
            total += stat.readAll().split(' ').value(0).toDouble() / 1e6;
    }
    return total;
}

double tickCpuMs(pid_t pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return NAN;
    const QByteArray text = stat.readAll();
    // From the state on, after the program's name in brackets (which may hold
    // blanks): utime and stime are the line's 14th and 15th fields.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return NAN;
    return (fields[11].toDouble() + fields[12].toDouble()) * 1000 / double(::sysconf(_SC_CLK_TCK));
}

double rollupMb(pid_t pid, const QByteArray& field) {
    QFile rollup(QStringLiteral("/proc/%1/smaps_rollup").arg(pid));
    if (!rollup.open(QIODevice::ReadOnly))
        return NAN;
    for (const QByteArray& line : rollup.readAll().split('\n')) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toDouble() / 1024;
    }
    return NAN;
}

QString loadAverage() {
    QFile load(QStringLiteral("/proc/loadavg"));
    if (!load.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    return QString::fromLatin1(load.readAll().split(' ').value(0));
}

QString cpuModel() {
    QFile info(QStringLiteral("/proc/cpuinfo"));
    if (info.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : info.readAll().split('\n')) {
            if (line.startsWith("model name"))
                return QString::fromLatin1(line.mid(line.indexOf(':') + 1).trimmed());
        }
    }
    return QStringLiteral("unknown CPU");
}

} // namespace kavo::bench
