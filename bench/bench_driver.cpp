// kavo-bench: the benchmark behind `make bench`. It starts a virtual X server
// of its own and measures the panel from outside the process, next to a bare
// Qt window started the same way: the time from process start to the main
// window's MapNotify, the resident memory once shown and the CPU time over
// ten idle seconds. Start-up and memory are also taken for the panel's
// buttons, frames and titles built from plain Qt widgets, the floor for a
// window with the same content. The in-process figures (click to wire, reply
// to screen, hold cadence, flood) come from kavo-bench-panel, run on the same
// display. Everything ends in one table of medians and worsts with the
// reference of each figure measured in the same run.

#include "bench_pty.h"
#include "panel_constants.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <poll.h>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTemporaryDir>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <xcb/xcb.h>

extern char** environ;

using namespace std::chrono_literals;
using kavo::bench::BenchPty;

namespace {

constexpr int kStartUpRuns = 11;
constexpr int kLongRuns = 3;
constexpr int kSamples = 200;
constexpr auto kSettleAfterMap = 500ms; // first paint and deferred set-up are done by then
constexpr auto kIdleSettle = 2s;
constexpr auto kIdleLength = 10s;
constexpr auto kMapTimeout = 20s;
const QString kBareTitle = QStringLiteral("bare window");
const QString kReferenceTitle = QStringLiteral("reference window");
constexpr double kLineTimeUs = 4 * 10 * 1e6 / 19200; // "CR0" + CR, 10 bits a byte

double nowMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

QString findProgram(const QString& name) {
    return QStandardPaths::findExecutable(name);
}

// ---- child processes -------------------------------------------------------

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
                           Redirect redirect = {}) {
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

// CPU time of all threads of a process so far, in ms, from the scheduler's
// nanosecond accounting (the tick counts of /proc/<pid>/stat are too coarse
// for an idle program).
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

// ---- the X server and its map events ---------------------------------------

class Display {
  public:
    ~Display() {
        if (m_connection)
            xcb_disconnect(m_connection);
        stop(m_server);
    }

    bool start(const QString& logPath, QString* error) {
        const QString server = findProgram(QStringLiteral("Xvfb"));
        if (server.isEmpty()) {
            *error = QStringLiteral("Xvfb is missing (Debian package xvfb)");
            return false;
        }
        int pipe[2];
        if (::pipe2(pipe, O_CLOEXEC) != 0) {
            *error = QStringLiteral("pipe failed");
            return false;
        }
        const QStringList environment{QStringLiteral("PATH=") + qEnvironmentVariable("PATH")};
        auto child =
            spawn(server,
                  {QStringLiteral("-displayfd"), QStringLiteral("3"), QStringLiteral("-screen"),
                   QStringLiteral("0"), QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"),
                   QStringLiteral("tcp"), QStringLiteral("-noreset")},
                  environment, logPath, Redirect{-1, pipe[1]});
        ::close(pipe[1]);
        if (!child) {
            ::close(pipe[0]);
            *error = QStringLiteral("cannot start Xvfb");
            return false;
        }
        m_server = *child;
        QByteArray number;
        pollfd wait{pipe[0], POLLIN, 0};
        const double deadline = nowMs() + 10000;
        while (!number.endsWith('\n') && nowMs() < deadline) {
            if (::poll(&wait, 1, 100) > 0) {
                char ch = 0;
                if (::read(pipe[0], &ch, 1) != 1)
                    break;
                number += ch;
            }
        }
        ::close(pipe[0]);
        if (!number.endsWith('\n')) {
            *error = QStringLiteral("Xvfb did not say its display number");
            return false;
        }
        m_name = QStringLiteral(":") + QString::fromLatin1(number.trimmed());
        m_connection = xcb_connect(m_name.toLatin1().constData(), nullptr);
        if (xcb_connection_has_error(m_connection)) {
            *error = QStringLiteral("cannot connect to %1").arg(m_name);
            return false;
        }
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data;
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(m_connection, screen->root, XCB_CW_EVENT_MASK, &mask);
        m_pidAtom = atom("_NET_WM_PID");
        m_nameAtom = atom("_NET_WM_NAME");
        m_utf8Atom = atom("UTF8_STRING");
        xcb_flush(m_connection);
        return true;
    }

    QString name() const { return m_name; }

    struct Mapped {
        double atMs = 0;
        QString title;
    };

    // Waits for the first top-level window of each pid to be mapped; the time
    // is taken as the event comes off the connection.
    QMap<pid_t, Mapped> waitForMaps(const std::vector<pid_t>& pids) {
        QMap<pid_t, Mapped> mapped;
        const double deadline =
            nowMs() + std::chrono::duration<double, std::milli>(kMapTimeout).count();
        const int fd = xcb_get_file_descriptor(m_connection);
        while (mapped.size() < qsizetype(pids.size()) && nowMs() < deadline) {
            pollfd wait{fd, POLLIN, 0};
            xcb_generic_event_t* event = xcb_poll_for_event(m_connection);
            if (!event) {
                ::poll(&wait, 1, 50);
                event = xcb_poll_for_event(m_connection);
            }
            const double at = nowMs();
            for (; event; event = xcb_poll_for_event(m_connection)) {
                if ((event->response_type & 0x7F) == XCB_MAP_NOTIFY) {
                    const auto* map = reinterpret_cast<xcb_map_notify_event_t*>(event);
                    const pid_t owner = pidOf(map->window);
                    if (std::find(pids.begin(), pids.end(), owner) != pids.end() &&
                        !mapped.contains(owner))
                        mapped.insert(owner, {at, titleOf(map->window)});
                }
                std::free(event);
            }
            if (xcb_connection_has_error(m_connection))
                break;
        }
        return mapped;
    }

    // Drops events left from earlier runs (unmaps and destroys).
    void drain() {
        while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection))
            std::free(event);
    }

  private:
    xcb_atom_t atom(const char* name) {
        auto cookie = xcb_intern_atom(m_connection, 0, uint16_t(std::strlen(name)), name);
        xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(m_connection, cookie, nullptr);
        const xcb_atom_t result = reply ? reply->atom : XCB_ATOM_NONE;
        std::free(reply);
        return result;
    }

    QByteArray property(xcb_window_t window, xcb_atom_t name, xcb_atom_t type) {
        auto cookie = xcb_get_property(m_connection, 0, window, name, type, 0, 1024);
        xcb_get_property_reply_t* reply = xcb_get_property_reply(m_connection, cookie, nullptr);
        QByteArray value;
        if (reply) {
            value = QByteArray(static_cast<const char*>(xcb_get_property_value(reply)),
                               xcb_get_property_value_length(reply));
            std::free(reply);
        }
        return value;
    }

    pid_t pidOf(xcb_window_t window) {
        const QByteArray value = property(window, m_pidAtom, XCB_ATOM_CARDINAL);
        if (value.size() < 4)
            return -1;
        uint32_t pid = 0;
        std::memcpy(&pid, value.constData(), 4);
        return pid_t(pid);
    }

    QString titleOf(xcb_window_t window) {
        return QString::fromUtf8(property(window, m_nameAtom, m_utf8Atom));
    }

    Child m_server;
    QString m_name;
    xcb_connection_t* m_connection = nullptr;
    xcb_atom_t m_pidAtom = XCB_ATOM_NONE;
    xcb_atom_t m_nameAtom = XCB_ATOM_NONE;
    xcb_atom_t m_utf8Atom = XCB_ATOM_NONE;
};

// ---- statistics and the table ----------------------------------------------

struct Summary {
    double median = NAN;
    double worst = NAN;
    int count = 0;
};

// Worst is the sample farthest from `ideal` (the largest for plain costs).
Summary summarise(std::vector<double> samples, std::optional<double> ideal = std::nullopt) {
    Summary s;
    s.count = int(samples.size());
    if (samples.empty())
        return s;
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    s.median = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    if (!ideal) {
        s.worst = samples.back();
    } else {
        s.worst = *std::max_element(samples.begin(), samples.end(), [&](double a, double b) {
            return std::abs(a - *ideal) < std::abs(b - *ideal);
        });
    }
    return s;
}

struct Row {
    Row(QString figure, QString unit, Summary value, QString reference, Summary referenceValue,
        QString target, int decimals = 1)
        : figure(std::move(figure)), unit(std::move(unit)), value(value),
          reference(std::move(reference)), referenceValue(referenceValue),
          target(std::move(target)), decimals(decimals) {}

    QString figure;
    QString unit;
    Summary value;
    QString reference; // what the reference is
    Summary referenceValue;
    QString target;
    int decimals;
    std::optional<bool> met; // nullopt: nothing to meet
    bool counted = true;     // false: shown to explain another row
};

QString number(double value, int decimals) {
    return std::isnan(value) ? QStringLiteral("-") : QString::number(value, 'f', decimals);
}

void printTable(const std::vector<Row>& rows) {
    const auto pad = [](const QString& text, int width) { return text.leftJustified(width, ' '); };
    const auto right = [](const QString& text, int width) {
        return text.rightJustified(width, ' ');
    };
    std::printf("%s\n",
                qPrintable(pad(QStringLiteral("Figure"), 34) + right(QStringLiteral("median"), 9) +
                           right(QStringLiteral("worst"), 9) + QStringLiteral("  ") +
                           pad(QStringLiteral("Reference (same run)"), 30) +
                           right(QStringLiteral("median"), 9) + right(QStringLiteral("worst"), 9) +
                           QStringLiteral("  ") + pad(QStringLiteral("Target"), 30) +
                           QStringLiteral("Result")));
    std::printf("%s\n", qPrintable(QString(34 + 18 + 2 + 30 + 18 + 2 + 30 + 6, QLatin1Char('-'))));
    for (const Row& row : rows) {
        const QString figure =
            row.unit.isEmpty() ? row.figure : row.figure + QStringLiteral(", ") + row.unit;
        QString result = !row.met ? QStringLiteral("-")
                                  : (*row.met ? QStringLiteral("pass") : QStringLiteral("MISS"));
        if (row.met && !row.counted)
            result = QLatin1Char('(') + result.toLower() + QLatin1Char(')');
        std::printf("%s\n",
                    qPrintable(pad(figure, 34) + right(number(row.value.median, row.decimals), 9) +
                               right(number(row.value.worst, row.decimals), 9) +
                               QStringLiteral("  ") + pad(row.reference, 30) +
                               right(number(row.referenceValue.median, row.decimals), 9) +
                               right(number(row.referenceValue.worst, row.decimals), 9) +
                               QStringLiteral("  ") + pad(row.target, 30) + result));
    }
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

// ---- the benchmark -----------------------------------------------------------

struct Programs {
    QString panel, bare, reference, harness, simulator;
};

class Bench {
  public:
    Bench(Programs programs, int startUpRuns, int longRuns, int samples)
        : m_programs(std::move(programs)), m_startUpRuns(startUpRuns), m_longRuns(longRuns),
          m_samples(samples) {}

    int run() {
        QString error;
        if (!m_work.isValid())
            return failed(QStringLiteral("no temporary folder"));
        m_config = m_work.filePath(QStringLiteral("config"));
        m_runtime = m_work.filePath(QStringLiteral("runtime"));
        QDir().mkpath(m_config + QStringLiteral("/KAVO/ports"));
        QDir().mkpath(m_runtime);
        QFile::setPermissions(m_runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QFile conf(m_config + QStringLiteral("/KAVO.conf"));
        if (!conf.open(QIODevice::WriteOnly) ||
            conf.write("[StartUP]\nComPort=1\nBaudRate=192\n") < 0)
            return failed(QStringLiteral("cannot seed the settings"));
        conf.close();

        std::printf("kavo-control benchmark: starting a virtual display...\n");
        std::fflush(stdout);
        if (!m_display.start(log(QStringLiteral("xvfb")), &error))
            return failed(error);
        if (!startProjector(&error))
            return failed(error);

        std::printf("start-up and memory (%d runs each)...\n", m_startUpRuns);
        std::fflush(stdout);
        if (!startUp(&error))
            return failed(error);
        std::printf("idle (%d runs of %lld s)...\n", m_longRuns, qlonglong(kIdleLength.count()));
        std::fflush(stdout);
        if (!idle(&error))
            return failed(error);
        std::printf("click, reply, hold and flood in the panel (about %d s)...\n",
                    m_samples / 20 + m_longRuns * 28);
        std::fflush(stdout);
        stop(m_simulator); // the in-process figures bring their own line
        if (!inProcess(&error))
            return failed(error);

        report();
        return 0; // a missed target is a finding of the run, not a failure to run
    }

  private:
    int failed(const QString& why) {
        std::fprintf(stderr, "kavo-bench: %s\n", qPrintable(why));
        std::fprintf(stderr, "kavo-bench: logs were in %s\n", qPrintable(m_work.path()));
        stop(m_simulator);
        m_work.setAutoRemove(false);
        return 1;
    }

    QString log(const QString& name) const {
        return m_work.filePath(name + QStringLiteral(".log"));
    }

    QStringList environment() const {
        return {QStringLiteral("PATH=") + qEnvironmentVariable("PATH"),
                QStringLiteral("HOME=") + QDir::homePath(),
                QStringLiteral("DISPLAY=") + m_display.name(),
                QStringLiteral("XDG_CONFIG_HOME=") + m_config,
                QStringLiteral("XDG_RUNTIME_DIR=") + m_runtime,
                QStringLiteral("LC_ALL=C.UTF-8"),
                QStringLiteral("QT_QPA_PLATFORM=xcb")};
    }

    // COM1 answers through the simulated projector when it is built, else
    // through a pseudo-terminal held here (start-up sends nothing either way).
    bool startProjector(QString* error) {
        const QString entry = m_config + QStringLiteral("/KAVO/ports/COM1");
        if (!m_programs.simulator.isEmpty() && QFileInfo(m_programs.simulator).isExecutable()) {
            auto child =
                spawn(m_programs.simulator, {QStringLiteral("--port"), QStringLiteral("1")},
                      environment(), log(QStringLiteral("simulator")));
            if (child) {
                m_simulator = *child;
                for (int i = 0; i < 200 && !QFileInfo(entry).isSymLink() && alive(m_simulator); ++i)
                    std::this_thread::sleep_for(50ms);
                if (QFileInfo(entry).isSymLink()) {
                    m_projector = QStringLiteral("simulated projector");
                    return true;
                }
                stop(m_simulator);
            }
        }
        if (!m_pty.isValid() || !m_pty.linkAs(m_config + QStringLiteral("/KAVO/ports"), 1)) {
            *error = QStringLiteral("cannot link a pseudo-terminal as COM1");
            return false;
        }
        m_projector = QStringLiteral("pseudo-terminal");
        return true;
    }

    struct Shown {
        double ms = 0;
        double residentMb = 0;
    };

    std::optional<Shown> startOnce(const QString& program, const QStringList& arguments,
                                   const QString& wantedTitle, QString* error) {
        m_display.drain();
        const double start = nowMs();
        auto child = spawn(program, arguments, environment(), log(QFileInfo(program).fileName()));
        if (!child) {
            *error = QStringLiteral("cannot start %1").arg(program);
            return std::nullopt;
        }
        const auto mapped = m_display.waitForMaps({child->pid});
        std::optional<Shown> shown;
        if (!mapped.contains(child->pid)) {
            *error = QStringLiteral("%1 showed no window").arg(child->name);
        } else if (!wantedTitle.isEmpty() && mapped[child->pid].title != wantedTitle) {
            *error = QStringLiteral("%1 showed \"%2\" first, not its main window")
                         .arg(child->name, mapped[child->pid].title);
        } else {
            std::this_thread::sleep_for(kSettleAfterMap);
            shown = Shown{mapped[child->pid].atMs - start, residentMb(child->pid)};
        }
        stop(*child);
        return shown;
    }

    bool startUp(QString* error) {
        // One unmeasured start of each fills the page cache and font caches.
        for (bool measured : {false, true}) {
            const int runs = measured ? m_startUpRuns : 1;
            for (int i = 0; i < runs; ++i) {
                const auto panel = startOnce(m_programs.panel, {}, kavo::kForm1Caption, error);
                if (!panel)
                    return false;
                const auto bare = startOnce(m_programs.bare, {}, kBareTitle, error);
                if (!bare)
                    return false;
                const auto text =
                    startOnce(m_programs.bare, {QStringLiteral("--text")}, kBareTitle, error);
                if (!text)
                    return false;
                const auto reference = startOnce(m_programs.reference, {}, kReferenceTitle, error);
                if (!reference)
                    return false;
                if (!measured)
                    continue;
                m_panelStart.push_back(panel->ms);
                m_panelMemory.push_back(panel->residentMb);
                m_bareStart.push_back(bare->ms);
                m_bareMemory.push_back(bare->residentMb);
                m_textStart.push_back(text->ms);
                m_textMemory.push_back(text->residentMb);
                m_referenceStart.push_back(reference->ms);
                m_referenceMemory.push_back(reference->residentMb);
            }
        }
        return true;
    }

    bool idle(QString* error) {
        for (int i = 0; i < m_longRuns; ++i) {
            m_display.drain();
            auto panel =
                spawn(m_programs.panel, {}, environment(), log(QStringLiteral("idle-panel")));
            auto bare = spawn(m_programs.bare, {}, environment(), log(QStringLiteral("idle-bare")));
            if (!panel || !bare) {
                *error = QStringLiteral("cannot start the idle pair");
                return false;
            }
            const auto mapped = m_display.waitForMaps({panel->pid, bare->pid});
            if (mapped.size() != 2) {
                stop(*panel);
                stop(*bare);
                *error = QStringLiteral("the idle pair showed no windows");
                return false;
            }
            std::this_thread::sleep_for(kIdleSettle);
            const double panelBefore = cpuMs(panel->pid), bareBefore = cpuMs(bare->pid);
            std::this_thread::sleep_for(kIdleLength);
            m_panelIdle.push_back(cpuMs(panel->pid) - panelBefore);
            m_bareIdle.push_back(cpuMs(bare->pid) - bareBefore);
            const bool bothAlive = alive(*panel) && alive(*bare);
            stop(*panel);
            stop(*bare);
            if (!bothAlive) {
                *error = QStringLiteral("a program of the idle pair ended by itself");
                return false;
            }
        }
        return true;
    }

    bool inProcess(QString* error) {
        int pipe[2];
        if (::pipe2(pipe, O_CLOEXEC) != 0) {
            *error = QStringLiteral("pipe failed");
            return false;
        }
        auto child =
            spawn(m_programs.harness,
                  {QStringLiteral("--samples"), QString::number(m_samples),
                   QStringLiteral("--runs"), QString::number(m_longRuns)},
                  environment(), log(QStringLiteral("panel-bench")), Redirect{pipe[1], -1});
        ::close(pipe[1]);
        if (!child) {
            ::close(pipe[0]);
            *error = QStringLiteral("cannot start %1").arg(m_programs.harness);
            return false;
        }
        QByteArray output;
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::read(pipe[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
            if (n > 0)
                output.append(buffer, n);
        }
        ::close(pipe[0]);
        int status = 0;
        ::waitpid(child->pid, &status, 0);
        for (const QByteArray& line : output.split('\n')) {
            const QList<QByteArray> words = line.split(' ');
            if (words.value(0).isEmpty())
                continue;
            if (words.first() == "error") {
                *error = QStringLiteral("kavo-bench-panel: ") + QString::fromUtf8(line.mid(6));
                return false;
            }
            std::vector<double>& samples = m_inProcess[QString::fromLatin1(words.first())];
            for (qsizetype i = 1; i < words.size(); ++i)
                samples.push_back(words[i].toDouble());
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            *error = QStringLiteral("kavo-bench-panel stopped with status %1").arg(status);
            return false;
        }
        return true;
    }

    std::vector<double> figure(const char* name) const {
        return m_inProcess.value(QString::fromLatin1(name));
    }

    static Summary constant(double value) {
        Summary s;
        s.median = s.worst = value;
        return s;
    }

    void add(Row row, std::optional<bool> met = std::nullopt, bool counted = true) {
        row.met = met;
        row.counted = counted;
        if (met && counted)
            m_allMet = m_allMet && *met;
        m_rows.push_back(std::move(row));
    }

    void report() {
        // A whole-process figure against the bare window (counted), the bare
        // window with one line of text and the same widgets in plain Qt (for
        // explanation only).
        const auto ratioRows =
            [this](const QString& name, const QString& unit, double factor,
                   const std::vector<double>& panel, const std::vector<double>& bare,
                   const std::vector<double>& text, const std::vector<double>& plain) {
                const Summary measured = summarise(panel);
                const std::pair<QString, Summary> references[] = {
                    {QStringLiteral("bare Qt window"), summarise(bare)},
                    {QStringLiteral("bare window + 1 text line"), summarise(text)},
                    {QStringLiteral("plain Qt window, same widgets"), summarise(plain)}};
                bool counted = true;
                for (const auto& [reference, summary] : references) {
                    const double limit = factor * summary.median;
                    add({counted ? name : QStringLiteral("  the same"), counted ? unit : QString(),
                         measured, reference, summary,
                         QStringLiteral("median <= %1 x ref (%2)")
                             .arg(QString::number(factor), number(limit, 1))},
                        measured.median <= limit, counted);
                    counted = false;
                }
            };
        ratioRows(QStringLiteral("start-up to window shown"), QStringLiteral("ms"), 1.5,
                  m_panelStart, m_bareStart, m_textStart, m_referenceStart);
        ratioRows(QStringLiteral("resident memory once shown"), QStringLiteral("MB"), 1.25,
                  m_panelMemory, m_bareMemory, m_textMemory, m_referenceMemory);

        const Summary wire = summarise(figure("click_wire_us"));
        add({QStringLiteral("click to wire"), QStringLiteral("us"), wire,
             QStringLiteral("bare button + QSerialPort"), summarise(figure("click_wire_floor_us")),
             QStringLiteral("median < %1, worst < %2")
                 .arg(number(0.05 * kLineTimeUs, 0), number(0.25 * kLineTimeUs, 0)),
             0},
            wire.median < 0.05 * kLineTimeUs && wire.worst < 0.25 * kLineTimeUs);
        add({QStringLiteral("  other references"),
             QString(),
             {},
             QStringLiteral("pty alone: write() + repaint"),
             summarise(figure("click_wire_pty_us")),
             QString(),
             0});
        add({QString(),
             QString(),
             {},
             QStringLiteral("line time, 4 bytes at 19200"),
             constant(kLineTimeUs),
             QString(),
             0});
        const Summary screen = summarise(figure("reply_screen_us"));
        add({QStringLiteral("reply to screen"), QStringLiteral("us"), screen,
             QStringLiteral("bare QSerialPort + 2 labels"),
             summarise(figure("reply_screen_floor_us")), QStringLiteral("median < 200"), 0},
            screen.median < 200);

        const QString floorTimer = QStringLiteral("plain periodic QTimer");
        const Summary sends = summarise(figure("hold_sends"), 101.0);
        add({QStringLiteral("hold 10 s: sends"), QString(), sends, floorTimer,
             summarise(figure("hold_floor_sends"), 101.0), QStringLiteral("101 in every run"), 0},
            sends.worst == 101);
        add({QStringLiteral("hold: mean interval"), QStringLiteral("ms"),
             summarise(figure("hold_mean_ms"), 100.0), floorTimer,
             summarise(figure("hold_floor_mean_ms"), 100.0), QString(), 3});
        const Summary deviation = summarise(figure("hold_worst_dev_ms"));
        add({QStringLiteral("hold: worst deviation from 100"), QStringLiteral("ms"), deviation,
             floorTimer, summarise(figure("hold_floor_worst_dev_ms")), QStringLiteral("worst < 5"),
             2},
            deviation.worst < 5);
        add({QStringLiteral("hold: drift of the last send"), QStringLiteral("ms"),
             summarise(figure("hold_drift_ms")), floorTimer,
             summarise(figure("hold_floor_drift_ms")), QString(), 1});
        const Summary afterRelease = summarise(figure("hold_after_release"));
        add({QStringLiteral("hold: sends after the release"),
             QString(),
             afterRelease,
             QString(),
             {},
             QStringLiteral("none"),
             0},
            afterRelease.worst == 0);

        const Summary stall = summarise(figure("flood_stall_ms"));
        add({QStringLiteral("flood 10 s: longest loop stall"), QStringLiteral("ms"), stall,
             QStringLiteral("same loop, quiet line, 2 s"),
             summarise(figure("flood_quiet_stall_ms")), QStringLiteral("worst < 50"), 2},
            stall.worst < 50);
        add({QStringLiteral("flood: CPU used in 10 s"), QStringLiteral("ms"),
             summarise(figure("flood_cpu_ms")), QStringLiteral("peer's rate, kB/s"),
             summarise(figure("flood_rate_kbs")), QString(), 0});
        const Summary growth = summarise(figure("flood_growth_mb"));
        add({QStringLiteral("flood: memory growth"),
             QStringLiteral("MB"),
             growth,
             QString(),
             {},
             QStringLiteral("worst < 5"),
             2},
            growth.worst < 5);

        const Summary idlePanel = summarise(m_panelIdle);
        add({QStringLiteral("idle 10 s: CPU used"), QStringLiteral("ms"), idlePanel,
             QStringLiteral("bare Qt window"), summarise(m_bareIdle), QStringLiteral("worst < 10"),
             2},
            idlePanel.worst < 10);

        std::printf("\nkavo-control benchmark, %s\n",
                    qPrintable(QDateTime::currentDateTime().toString(Qt::ISODate)));
        std::printf("%s, %u cores; %s; Qt %s; load average %s at start, %s at end\n",
                    qPrintable(cpuModel()), std::thread::hardware_concurrency(),
                    qPrintable(QSysInfo::prettyProductName()), qVersion(),
                    qPrintable(m_loadAtStart), qPrintable(loadAverage()));
        std::printf("Xvfb 1280x1024x24; COM1: %s; start-up %d runs each, click/reply %d samples, "
                    "hold/flood/idle %d runs\n\n",
                    qPrintable(m_projector), m_startUpRuns, m_samples, m_longRuns);
        printTable(m_rows);
        std::printf("\n%s Rows with the result in brackets are for explanation only.\n",
                    m_allMet ? "All targets met." : "Some targets missed (MISS).");
    }

    Programs m_programs;
    int m_startUpRuns;
    int m_longRuns;
    int m_samples;
    QTemporaryDir m_work;
    QString m_config;
    QString m_runtime;
    Display m_display;
    Child m_simulator;
    BenchPty m_pty;
    QString m_projector;
    std::vector<double> m_panelStart, m_bareStart, m_panelMemory, m_bareMemory;
    std::vector<double> m_textStart, m_textMemory;
    std::vector<double> m_referenceStart, m_referenceMemory;
    std::vector<double> m_panelIdle, m_bareIdle;
    QMap<QString, std::vector<double>> m_inProcess;
    std::vector<Row> m_rows;
    QString m_loadAtStart = loadAverage();
    bool m_allMet = true;
};

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    ::signal(SIGPIPE, SIG_IGN);
    const QString here = QCoreApplication::applicationDirPath();
    Programs programs{
        QStringLiteral(KAVO_BENCH_PANEL), here + QStringLiteral("/kavo-bench-bare-window"),
        here + QStringLiteral("/kavo-bench-reference-window"),
        here + QStringLiteral("/kavo-bench-panel"), QStringLiteral(KAVO_BENCH_SIMULATOR)};
    const QStringList arguments = app.arguments().mid(1);
    const bool quick = arguments.contains(QStringLiteral("--quick"));
    if (arguments.size() != (quick ? 1 : 0)) {
        std::printf("usage: kavo-bench [--quick]\n"
                    "Measures kavo-control on a virtual display of its own and prints one "
                    "table;\n--quick makes fewer runs, for trying the benchmark itself.\n");
        return arguments.contains(QStringLiteral("--help")) ? 0 : 2;
    }
    Bench bench(programs, quick ? 3 : kStartUpRuns, quick ? 1 : kLongRuns, quick ? 20 : kSamples);
    return bench.run();
}
