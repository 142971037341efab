// kavo-bench: the benchmark behind `make bench`. It starts a virtual X server
// of its own and measures the panel from outside the process, next to a bare
// Qt window started the same way: the time from process start to the main
// window's MapNotify, the resident memory once shown and the CPU time over
// ten idle seconds. Start-up and memory are also taken for the panel's
// buttons, frames and titles built from plain Qt widgets, the floor for a
// window with the same content. The in-process figures (click to wire, reply
// to screen, hold cadence, flood) come from kavo-bench-panel, run on the same
// display. Everything ends in one table of medians and worsts with the
// reference of each figure measured in the same run. The service's figures
// come last: one exchange through kavo-projectord against the same exchange
// on a pseudo-terminal alone, ten clients at once, and ten instances idle
// with default polling for their CPU time and memory; then, with Debian's
// mosquitto broker, twenty instances on one broker: how soon all are
// discovered, whether all answer a power command, how long a state change
// takes to reach a subscriber, and their idle CPU time and memory.

#include "bench_pty.h"
#include "catalogue.h"
#include "panel_constants.h"
#include "projector_model.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mosquitto.h>
#include <mutex>
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
#include <QTcpServer>
#include <QTemporaryDir>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
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
constexpr int kServiceClients = 10;                  // sending at once to one service
constexpr int kServiceInstances = 10;                // running at once, idle
constexpr int kBursts = 20;
constexpr auto kServiceIdle = 60s;
constexpr auto kServiceIdleQuick = 31s; // still takes in one status read (every 30 s)
// Longer than the service's gap after an exchange (20 ms), so that the gap's
// end is never inside the next sample.
constexpr auto kSampleGap = 25ms;
constexpr double kReplyTimeoutMs = 5000; // the service's reply window and queue wait
constexpr int kMqttInstances = 20;
constexpr double kDiscoveryTargetMs = 10000;
const QByteArray kStatusRead = "CR0\r";
const QByteArray kStandbyReply = "80\r";

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

// CPU time of a process so far, in ms, as /proc/<pid>/stat counts it: user
// and system time in clock ticks.
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

// A field of /proc/<pid>/smaps_rollup ("Pss", "Rss") in MB.
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

// ---- projectors and clients for kavo-projectord ------------------------------

// Projectors on pseudo-terminals, all played by one thread with the
// simulator's model: every command line is answered as soon as its CR is
// read, a status read of a projector in standby with "80" + CR. The thread
// waits in poll(): spinning instead only took a processor from the other two
// parties on a 2-core machine and made every exchange slower.
class ProjectorLines {
  public:
    explicit ProjectorLines(int count) {
        for (int i = 0; i < count; ++i)
            m_lines.push_back(std::make_unique<Line>());
        m_thread = std::thread([this] { run(); });
    }
    ~ProjectorLines() {
        m_stop = true;
        m_thread.join();
    }

    bool isValid() const {
        return std::all_of(m_lines.begin(), m_lines.end(),
                           [](const auto& line) { return line->pty.isValid(); });
    }
    QString device(int line) const { return m_lines[std::size_t(line)]->pty.slavePath(); }
    int answered(int line) const { return m_lines[std::size_t(line)]->answered; }
    // When the last reply to a status read went out on the line before `ms`.
    std::optional<double> statusReplyBefore(int line, double ms) const {
        const std::lock_guard lock(m_mutex);
        std::optional<double> last;
        for (const double at : m_lines[std::size_t(line)]->statusReplies) {
            if (at <= ms)
                last = at;
        }
        return last;
    }

  private:
    struct Line {
        BenchPty pty;
        kavo::sim::ProjectorModel model{kavo::sim::CommandSet(kavo::catalogue::allCommands())};
        std::atomic<int> answered = 0;
        std::vector<double> statusReplies; // when each went out
    };

    void run() {
        std::vector<pollfd> waits;
        for (const auto& line : m_lines)
            waits.push_back({line->pty.master(), POLLIN, 0});
        const double start = nowMs();
        while (!m_stop) {
            if (::poll(waits.data(), waits.size(), 50) <= 0)
                continue;
            const kavo::sim::milliseconds now{qint64(nowMs() - start)};
            for (const auto& line : m_lines) {
                const QByteArray bytes = line->pty.readAvailable();
                if (bytes.isEmpty())
                    continue;
                for (const kavo::sim::Exchange& exchange : line->model.receive(bytes, now)) {
                    line->pty.writeAll(exchange.reply);
                    ++line->answered;
                    if (exchange.arrived == kStatusRead) {
                        const std::lock_guard lock(m_mutex);
                        line->statusReplies.push_back(nowMs());
                    }
                }
            }
        }
    }

    std::vector<std::unique_ptr<Line>> m_lines;
    mutable std::mutex m_mutex;
    std::atomic<bool> m_stop = false;
    std::thread m_thread;
};

// Every message on the broker with the time it arrived, on libmosquitto's
// own thread.
class MqttWatcher {
  public:
    explicit MqttWatcher(quint16 port) {
        mosquitto_lib_init();
        m_mosq = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(
            m_mosq, [](mosquitto*, void* self, const mosquitto_message* message) {
                auto* watcher = static_cast<MqttWatcher*>(self);
                const std::lock_guard lock(watcher->m_mutex);
                watcher->m_seen.push_back(
                    {QString::fromUtf8(message->topic),
                     QByteArray(static_cast<const char*>(message->payload), message->payloadlen),
                     nowMs()});
            });
        for (int attempt = 0; attempt < 100; ++attempt) {
            if (mosquitto_connect(m_mosq, "127.0.0.1", port, 60) == MOSQ_ERR_SUCCESS) {
                m_connected = true;
                break;
            }
            std::this_thread::sleep_for(50ms);
        }
        mosquitto_subscribe(m_mosq, nullptr, "#", 0);
        mosquitto_loop_start(m_mosq);
    }
    ~MqttWatcher() {
        mosquitto_disconnect(m_mosq);
        mosquitto_loop_stop(m_mosq, true);
        mosquitto_destroy(m_mosq);
    }
    bool connected() const { return m_connected; }
    void publish(const QString& topic, const QByteArray& payload) {
        mosquitto_publish(m_mosq, nullptr, topic.toUtf8().constData(), int(payload.size()),
                          payload.constData(), 1, false);
    }
    // When the topic first carried the payload (any, when empty) at or
    // after `since`, waiting until `deadline` for it.
    std::optional<double> arrival(const QString& topic, const QByteArray& payload, double since,
                                  double deadline) const {
        do {
            {
                const std::lock_guard lock(m_mutex);
                for (const Seen& seen : m_seen) {
                    if (seen.at >= since && seen.topic == topic &&
                        (payload.isEmpty() || seen.payload == payload))
                        return seen.at;
                }
            }
            std::this_thread::sleep_for(5ms);
        } while (nowMs() < deadline);
        return std::nullopt;
    }

  private:
    struct Seen {
        QString topic;
        QByteArray payload;
        double at;
    };
    mosquitto* m_mosq = nullptr;
    bool m_connected = false;
    mutable std::mutex m_mutex;
    std::vector<Seen> m_seen;
};

// A client of the service on its Unix-domain socket; -1 when it cannot connect.
int connectLocal(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::size_t(name.size()) >= sizeof address.sun_path)
        return -1;
    std::memcpy(address.sun_path, name.constData(), std::size_t(name.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 &&
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether the bytes hold a whole reply: up to its CR, or a lone ACK.
bool wholeReply(const QByteArray& bytes) {
    return bytes.contains('\r') || bytes == "\x06";
}

// Reads what is waiting on fd onto `bytes`; false when the other end is gone.
bool readSome(int fd, QByteArray* bytes) {
    char buffer[256];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0)
        bytes->append(buffer, n);
    return n > 0 || (n < 0 && (errno == EINTR || errno == EAGAIN));
}

// One status read on fd (a pseudo-terminal or the service's socket): the
// time from before the write until its whole reply was read, in µs, or
// nothing when no proper standby reply came.
std::optional<double> statusReadUs(int fd) {
    const double start = nowMs();
    if (::write(fd, kStatusRead.constData(), std::size_t(kStatusRead.size())) != kStatusRead.size())
        return std::nullopt;
    QByteArray reply;
    while (!wholeReply(reply)) {
        pollfd wait{fd, POLLIN, 0};
        const int left = int(start + kReplyTimeoutMs - nowMs());
        if (left <= 0 || (::poll(&wait, 1, left) > 0 && !readSome(fd, &reply)))
            return std::nullopt;
    }
    const double us = (nowMs() - start) * 1000;
    return reply == kStandbyReply ? std::optional<double>(us) : std::nullopt;
}

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
    QString panel, bare, reference, harness, simulator, service;
};

class Bench {
  public:
    Bench(Programs programs, int startUpRuns, int longRuns, int samples, int bursts,
          std::chrono::seconds serviceIdle)
        : m_programs(std::move(programs)), m_startUpRuns(startUpRuns), m_longRuns(longRuns),
          m_samples(samples), m_bursts(bursts), m_serviceIdle(serviceIdle) {}

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
        if (!m_programs.service.isEmpty()) {
            std::printf("kavo-projectord: %d status reads direct and through it, %d bursts of %d "
                        "clients...\n",
                        m_samples, m_bursts, kServiceClients);
            std::fflush(stdout);
            if (!serviceExchanges(&error))
                return failed(error);
            std::printf("kavo-projectord: %d instances idle for %lld s...\n", kServiceInstances,
                        qlonglong(m_serviceIdle.count()));
            std::fflush(stdout);
            if (!serviceIdle(&error))
                return failed(error);
            if (!findProgram(QStringLiteral("mosquitto")).isEmpty()) {
                std::printf(
                    "kavo-projectord: %d instances on one MQTT broker, idle for %lld s...\n",
                    kMqttInstances, qlonglong(m_serviceIdle.count()));
                std::fflush(stdout);
                if (!mqttScale(&error))
                    return failed(error);
            }
        }

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

    // ---- kavo-projectord ----

    QString journalPath(const QString& name) const {
        return m_work.filePath(name + QStringLiteral(".journal"));
    }
    QString socketPath(const QString& name) const {
        return m_runtime + QLatin1Char('/') + name + QStringLiteral(".sock");
    }

    // The service on a projector's line; its journal (standard output) goes
    // to a file of its own.
    std::optional<Child> startService(const QString& name, const QString& device,
                                      const QStringList& options, QString* error) {
        const int out = ::open(QFile::encodeName(journalPath(name)).constData(),
                               O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out < 0) {
            *error = QStringLiteral("cannot write %1").arg(journalPath(name));
            return std::nullopt;
        }
        auto child = spawn(m_programs.service,
                           QStringList{QStringLiteral("--name"), name, QStringLiteral("--device"),
                                       device, QStringLiteral("--socket"), socketPath(name)} +
                               options,
                           environment(), log(name), Redirect{out, -1});
        ::close(out);
        if (!child)
            *error = QStringLiteral("cannot start %1").arg(m_programs.service);
        return child;
    }

    // Waits until the journal shows the last of the reads made when the line
    // opens (the lamp mode), so that none of them falls into a measurement.
    bool warmedUp(const Child& service, const QString& name, QString* error) {
        QFile journal(journalPath(name));
        const double deadline = nowMs() + 10000;
        while (nowMs() < deadline && alive(service)) {
            if (journal.open(QIODevice::ReadOnly)) {
                // The trace shows a blank between characters: "L A M P M O D E".
                for (QByteArray& line : journal.readAll().split('\n')) {
                    if (line.contains("\tpoll\t") && line.replace(' ', "").contains("LAMPMODE"))
                        return true;
                }
                journal.close();
            }
            std::this_thread::sleep_for(20ms);
        }
        *error = QStringLiteral("%1 did not read the projector's state at start (journal %2)")
                     .arg(name, journalPath(name));
        return false;
    }

    // One status read at a time on a pseudo-terminal alone and through the
    // service on another, sample for sample, then bursts of ten clients
    // sending at once. The service polls only when its line opens.
    bool serviceExchanges(QString* error) {
        ProjectorLines lines(2);
        if (!lines.isValid()) {
            *error = QStringLiteral("no pseudo-terminals for the service");
            return false;
        }
        const QString name = QStringLiteral("exchanges");
        const QString never = QStringLiteral("86400");
        auto service = startService(
            name, lines.device(1),
            {QStringLiteral("--poll-status"), never, QStringLiteral("--poll-other"), never}, error);
        if (!service)
            return false;
        const int direct =
            ::open(QFile::encodeName(lines.device(0)).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        std::vector<int> clients;
        const bool measured = direct >= 0 && warmedUp(*service, name, error) &&
                              singleReads(direct, name, error) && bursts(name, &clients, error);
        if (direct < 0)
            *error = QStringLiteral("cannot open %1").arg(lines.device(0));
        for (const int fd : clients)
            ::close(fd);
        if (direct >= 0)
            ::close(direct);
        const bool ran = alive(*service);
        if (!ran)
            service->pid = -1; // reaped already
        stop(*service);
        if (measured && !ran)
            *error = QStringLiteral("%1 ended by itself").arg(name);
        return measured && ran;
    }

    bool singleReads(int direct, const QString& name, QString* error) {
        const int client = connectLocal(socketPath(name));
        if (client < 0) {
            *error = QStringLiteral("cannot connect to %1").arg(socketPath(name));
            return false;
        }
        // The first of each is not counted: it finds the pages cold. Which of
        // the two goes first alternates: the first after the pause meets idle
        // processors, which take longer to wake.
        for (int i = -1; i < m_samples; ++i) {
            std::this_thread::sleep_for(kSampleGap);
            std::optional<double> alone, through;
            if (i % 2 == 0) {
                alone = statusReadUs(direct);
                through = statusReadUs(client);
            } else {
                through = statusReadUs(client);
                alone = statusReadUs(direct);
            }
            if (!alone || !through) {
                ::close(client);
                *error = QStringLiteral("status read %1 got no standby reply %2")
                             .arg(i + 1)
                             .arg(alone ? QStringLiteral("through the service")
                                        : QStringLiteral("on the pseudo-terminal"));
                return false;
            }
            if (i < 0)
                continue;
            m_ptyAloneUs.push_back(*alone);
            m_throughServiceUs.push_back(*through);
            m_addedUs.push_back(*through - *alone);
        }
        ::close(client);
        return true;
    }

    // Each burst: every client sends one status read, one after the other
    // as fast as the driver writes; each client's wait is from its own write
    // to its whole reply.
    bool bursts(const QString& name, std::vector<int>* clients, QString* error) {
        for (int c = 0; c < kServiceClients; ++c) {
            const int fd = connectLocal(socketPath(name));
            if (fd < 0) {
                *error = QStringLiteral("cannot connect client %1").arg(c + 1);
                return false;
            }
            clients->push_back(fd);
            // One read each first: the service has taken every client in.
            if (!statusReadUs(fd)) {
                *error = QStringLiteral("client %1 got no reply").arg(c + 1);
                return false;
            }
        }
        for (int b = 0; b < m_bursts; ++b) {
            std::this_thread::sleep_for(kSampleGap);
            std::vector<double> sent(clients->size()), waited(clients->size(), kReplyTimeoutMs);
            std::vector<QByteArray> replies(clients->size());
            std::vector<bool> done(clients->size(), false);
            for (std::size_t c = 0; c < clients->size(); ++c) {
                sent[c] = nowMs();
                if (::write((*clients)[c], kStatusRead.constData(),
                            std::size_t(kStatusRead.size())) != kStatusRead.size())
                    done[c] = true;
            }
            while (std::count(done.begin(), done.end(), false) > 0 &&
                   nowMs() < sent[0] + kReplyTimeoutMs) {
                std::vector<pollfd> waits;
                std::vector<std::size_t> which;
                for (std::size_t c = 0; c < clients->size(); ++c) {
                    if (!done[c]) {
                        waits.push_back({(*clients)[c], POLLIN, 0});
                        which.push_back(c);
                    }
                }
                if (::poll(waits.data(), waits.size(), 100) <= 0)
                    continue;
                const double now = nowMs();
                for (std::size_t w = 0; w < waits.size(); ++w) {
                    if (waits[w].revents == 0)
                        continue;
                    const std::size_t c = which[w];
                    if (!readSome((*clients)[c], &replies[c]) || wholeReply(replies[c])) {
                        done[c] = true;
                        waited[c] = now - sent[c];
                    }
                }
            }
            m_burstWorstMs.push_back(*std::max_element(waited.begin(), waited.end()));
            m_burstAnswered.push_back(
                double(std::count(replies.begin(), replies.end(), kStandbyReply)));
        }
        return true;
    }

    // Ten instances with default polling on lines of their own, idle: the
    // CPU time each takes in the idle period, scaled to a minute, and the
    // memory each holds at its end (shared pages split between the ten).
    bool serviceIdle(QString* error) {
        ProjectorLines lines(kServiceInstances);
        if (!lines.isValid()) {
            *error = QStringLiteral("no pseudo-terminals for the service");
            return false;
        }
        std::vector<Child> services;
        const auto stopAll = [&] {
            for (Child& service : services)
                stop(service);
        };
        const auto name = [](int i) { return QStringLiteral("idle-%1").arg(i + 1); };
        for (int i = 0; i < kServiceInstances; ++i) {
            auto service = startService(name(i), lines.device(i), {}, error);
            if (!service) {
                stopAll();
                return false;
            }
            services.push_back(*service);
        }
        for (int i = 0; i < kServiceInstances; ++i) {
            if (!warmedUp(services[std::size_t(i)], name(i), error)) {
                stopAll();
                return false;
            }
        }
        std::this_thread::sleep_for(kIdleSettle);
        std::vector<double> ticksBefore, scheduledBefore, answeredBefore;
        for (const Child& service : services) {
            ticksBefore.push_back(tickCpuMs(service.pid));
            scheduledBefore.push_back(cpuMs(service.pid));
            answeredBefore.push_back(lines.answered(int(answeredBefore.size())));
        }
        std::this_thread::sleep_for(m_serviceIdle);
        const double perMinute = 60.0 / double(m_serviceIdle.count());
        for (std::size_t i = 0; i < services.size(); ++i) {
            const pid_t pid = services[i].pid;
            if (!alive(services[i])) {
                services[i].pid = -1; // reaped already
                stopAll();
                *error = QStringLiteral("%1 ended by itself").arg(name(int(i)));
                return false;
            }
            m_idleTickMs.push_back((tickCpuMs(pid) - ticksBefore[i]) * perMinute);
            m_idleScheduledMs.push_back((cpuMs(pid) - scheduledBefore[i]) * perMinute);
            m_idleReads.push_back(lines.answered(int(i)) - answeredBefore[i]);
            m_servicePssMb.push_back(rollupMb(pid, "Pss"));
            m_serviceRssMb.push_back(rollupMb(pid, "Rss"));
        }
        stopAll();
        return true;
    }

    // Twenty instances on lines of their own and one broker: the time from
    // their start until each one's discovery reached a subscriber, a power
    // command to each (answered when its power state shows it warming up),
    // the time from the status reply that changed the state to the state on
    // the broker, and then, idle, the CPU time and memory of each.
    bool mqttScale(QString* error) {
        QTcpServer free;
        free.listen(QHostAddress::LocalHost, 0);
        const quint16 port = free.serverPort();
        free.close();
        QFile conf(m_work.filePath(QStringLiteral("mosquitto.conf")));
        if (!conf.open(QIODevice::WriteOnly) ||
            conf.write(
                "listener " + QByteArray::number(port) +
                " 127.0.0.1\nallow_anonymous true\npersistence false\nset_tcp_nodelay true\n") <
                0) {
            *error = QStringLiteral("cannot write the broker's configuration");
            return false;
        }
        conf.close();
        auto broker = spawn(findProgram(QStringLiteral("mosquitto")), {"-c", conf.fileName()},
                            environment(), log(QStringLiteral("mosquitto")));
        ProjectorLines lines(kMqttInstances);
        std::vector<Child> services;
        const auto stopAll = [&] {
            for (Child& service : services)
                stop(service);
            if (broker)
                stop(*broker);
        };
        MqttWatcher watcher(port);
        if (!broker || !watcher.connected() || !lines.isValid()) {
            stopAll();
            *error = QStringLiteral("cannot start the broker or the lines for MQTT (log %1)")
                         .arg(log(QStringLiteral("mosquitto")));
            return false;
        }
        const auto name = [](int i) { return QStringLiteral("room-%1").arg(i + 1); };
        const auto topic = [&](int i, const char* leaf) {
            return QStringLiteral("kavo/%1/%2").arg(name(i), QLatin1String(leaf));
        };
        const QString url = QStringLiteral("mqtt://127.0.0.1:%1").arg(port);
        const double start = nowMs();
        for (int i = 0; i < kMqttInstances; ++i) {
            auto service =
                startService(name(i), lines.device(i), {QStringLiteral("--mqtt"), url}, error);
            if (!service) {
                stopAll();
                return false;
            }
            services.push_back(*service);
        }
        for (int i = 0; i < kMqttInstances; ++i) {
            const auto found = watcher.arrival(
                QStringLiteral("homeassistant/switch/kavo_%1/power/config").arg(name(i)), {}, start,
                start + 30000);
            m_mqttDiscoveredMs.push_back(found ? *found - start : NAN);
            if (!warmedUp(services[std::size_t(i)], name(i), error)) {
                stopAll();
                return false;
            }
        }
        const double sent = nowMs();
        for (int i = 0; i < kMqttInstances; ++i)
            watcher.publish(topic(i, "power/set"), "ON");
        int answered = 0;
        for (int i = 0; i < kMqttInstances; ++i) {
            const auto shown =
                watcher.arrival(topic(i, "power_state"), "warming_up", sent, sent + 15000);
            if (!shown)
                continue;
            ++answered;
            if (const auto reply = lines.statusReplyBefore(i, *shown))
                m_mqttLatencyMs.push_back(*shown - *reply);
        }
        m_mqttAnswered.push_back(answered);
        // Warmed up (the simulated projector takes 5 s), then idle.
        for (int i = 0; i < kMqttInstances; ++i)
            watcher.arrival(topic(i, "power_state"), "on", sent, sent + 20000);
        std::this_thread::sleep_for(kIdleSettle);
        std::vector<double> before;
        for (const Child& service : services)
            before.push_back(cpuMs(service.pid));
        std::this_thread::sleep_for(m_serviceIdle);
        const double perMinute = 60.0 / double(m_serviceIdle.count());
        for (std::size_t i = 0; i < services.size(); ++i) {
            if (!alive(services[i])) {
                services[i].pid = -1; // reaped already
                stopAll();
                *error = QStringLiteral("%1 ended by itself").arg(name(int(i)));
                return false;
            }
            m_mqttIdleMs.push_back((cpuMs(services[i].pid) - before[i]) * perMinute);
            m_mqttPssMb.push_back(rollupMb(services[i].pid, "Pss"));
        }
        stopAll();
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

        if (!m_throughServiceUs.empty())
            serviceRows();

        std::printf("\nkavo-control benchmark, %s\n",
                    qPrintable(QDateTime::currentDateTime().toString(Qt::ISODate)));
        std::printf("%s, %u cores; %s; Qt %s; load average %s at start, %s at end\n",
                    qPrintable(cpuModel()), std::thread::hardware_concurrency(),
                    qPrintable(QSysInfo::prettyProductName()), qVersion(),
                    qPrintable(m_loadAtStart), qPrintable(loadAverage()));
        std::printf("Xvfb 1280x1024x24; COM1: %s; start-up %d runs each, click/reply %d samples, "
                    "hold/flood/idle %d runs\n",
                    qPrintable(m_projector), m_startUpRuns, m_samples, m_longRuns);
        if (!m_throughServiceUs.empty())
            std::printf("kavo-projectord on pseudo-terminals: %d status reads, %d bursts of %d "
                        "clients, %d instances idle for %lld s\n",
                        m_samples, m_bursts, kServiceClients, kServiceInstances,
                        qlonglong(m_serviceIdle.count()));
        if (!m_mqttAnswered.empty())
            std::printf("MQTT: %d instances on one mosquitto broker, idle for %lld s\n",
                        kMqttInstances, qlonglong(m_serviceIdle.count()));
        std::printf("\n");
        printTable(m_rows);
        std::printf("\n%s Rows with the result in brackets are for explanation only.\n",
                    m_allMet ? "All targets met." : "Some targets missed (MISS).");
    }

    void serviceRows() {
        const Summary through = summarise(m_throughServiceUs);
        const Summary alone = summarise(m_ptyAloneUs);
        const double added = 1000;
        add({QStringLiteral("service: one status read"), QStringLiteral("us"), through,
             QStringLiteral("pty alone, raw descriptor"), alone,
             QStringLiteral("median <= ref + %1 (%2)")
                 .arg(number(added, 0), number(alone.median + added, 0)),
             0},
            through.median <= alone.median + added);
        add({QStringLiteral("  added, sample for sample"),
             QStringLiteral("us"),
             summarise(m_addedUs),
             QString(),
             {},
             QString(),
             0});

        // The last of ten clients at once waits for ten exchanges: its turn is
        // ten single reads at their median. The margin is the single reads'
        // own spread in this run, their worst less their median: one of the
        // ten may be as late as the latest single read was (a wake-up delayed
        // by other work on the machine, which neither the service nor the
        // driver controls).
        const double turnMs = kServiceClients * through.median / 1000;
        const double limitMs = turnMs + (through.worst - through.median) / 1000;
        const Summary longest = summarise(m_burstWorstMs);
        add({QStringLiteral("10 clients: longest wait"), QStringLiteral("ms"), longest,
             QStringLiteral("10 x one read via service"), constant(turnMs),
             QStringLiteral("worst <= ref + spread (%1)").arg(number(limitMs, 2)), 2},
            longest.worst <= limitMs);
        const Summary answered = summarise(m_burstAnswered, double(kServiceClients));
        add({QStringLiteral("10 clients: answered"),
             QString(),
             answered,
             QString(),
             {},
             QStringLiteral("10 in every burst"),
             0},
            answered.worst == kServiceClients);

        // Counted from the scheduler's nanoseconds, as the panel's idle CPU;
        // the clock ticks of /proc/<pid>/stat move in steps of 10 ms, so one
        // instance crossing a tick in the period shows 10 ms.
        const Summary idle = summarise(m_idleScheduledMs);
        add({QStringLiteral("service idle: CPU a minute"),
             QStringLiteral("ms"),
             idle,
             QString(),
             {},
             QStringLiteral("worst <= 5"),
             1},
            idle.worst <= 5);
        const Summary idleTicks = summarise(m_idleTickMs);
        add({QStringLiteral("  the same, /proc stat ticks"),
             QStringLiteral("ms"),
             idleTicks,
             QString(),
             {},
             QStringLiteral("worst <= 5"),
             1},
            idleTicks.worst <= 5, false);
        add({QStringLiteral("  status reads answered"),
             QString(),
             summarise(m_idleReads),
             QString(),
             {},
             QString(),
             0});
        const Summary pss = summarise(m_servicePssMb);
        add({QStringLiteral("service: Pss of each of 10"), QStringLiteral("MB"), pss,
             QStringLiteral("Rss of the same"), summarise(m_serviceRssMb),
             QStringLiteral("worst <= 8"), 1},
            pss.worst <= 8);
        if (m_mqttAnswered.empty())
            return;
        const Summary discovered = summarise(m_mqttDiscoveredMs);
        add({QStringLiteral("MQTT: 20 discovered after start"),
             QStringLiteral("ms"),
             discovered,
             QString(),
             {},
             QStringLiteral("worst <= %1").arg(number(kDiscoveryTargetMs, 0)),
             0},
            discovered.worst <= kDiscoveryTargetMs &&
                std::ranges::none_of(m_mqttDiscoveredMs, [](double ms) { return std::isnan(ms); }));
        const Summary powered = summarise(m_mqttAnswered, double(kMqttInstances));
        add({QStringLiteral("MQTT: power/set answered"),
             QString(),
             powered,
             QString(),
             {},
             QStringLiteral("20 of 20"),
             0},
            powered.worst == kMqttInstances);
        const Summary latency = summarise(m_mqttLatencyMs);
        add({QStringLiteral("MQTT: state change to subscriber"),
             QStringLiteral("ms"),
             latency,
             QString(),
             {},
             QStringLiteral("median <= 5"),
             2},
            latency.median <= 5);
        add({QStringLiteral("MQTT idle: CPU a minute"),
             QStringLiteral("ms"),
             summarise(m_mqttIdleMs),
             QString(),
             {},
             QString(),
             1});
        add({QStringLiteral("MQTT: Pss of each of 20"),
             QStringLiteral("MB"),
             summarise(m_mqttPssMb),
             QString(),
             {},
             QString(),
             1});
    }

    Programs m_programs;
    int m_startUpRuns;
    int m_longRuns;
    int m_samples;
    int m_bursts;
    std::chrono::seconds m_serviceIdle;
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
    std::vector<double> m_ptyAloneUs, m_throughServiceUs, m_addedUs;
    std::vector<double> m_burstWorstMs, m_burstAnswered;
    std::vector<double> m_idleTickMs, m_idleScheduledMs, m_idleReads;
    std::vector<double> m_servicePssMb, m_serviceRssMb;
    std::vector<double> m_mqttDiscoveredMs, m_mqttAnswered, m_mqttLatencyMs, m_mqttIdleMs,
        m_mqttPssMb;
    std::vector<Row> m_rows;
    QString m_loadAtStart = loadAverage();
    bool m_allMet = true;
};

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    ::signal(SIGPIPE, SIG_IGN);
    const QString here = QCoreApplication::applicationDirPath();
    Programs programs{QStringLiteral(KAVO_BENCH_PANEL),
                      here + QStringLiteral("/kavo-bench-bare-window"),
                      here + QStringLiteral("/kavo-bench-reference-window"),
                      here + QStringLiteral("/kavo-bench-panel"),
                      QStringLiteral(KAVO_BENCH_SIMULATOR),
                      QStringLiteral(KAVO_BENCH_SERVICE)};
    const QStringList arguments = app.arguments().mid(1);
    const bool quick = arguments.contains(QStringLiteral("--quick"));
    if (arguments.size() != (quick ? 1 : 0)) {
        std::printf("usage: kavo-bench [--quick]\n"
                    "Measures kavo-control on a virtual display of its own and kavo-projectord "
                    "on\npseudo-terminals, and prints one table; --quick makes fewer runs and a "
                    "shorter\nidle period, for trying the benchmark itself.\n");
        return arguments.contains(QStringLiteral("--help")) ? 0 : 2;
    }
    Bench bench(programs, quick ? 3 : kStartUpRuns, quick ? 1 : kLongRuns, quick ? 20 : kSamples,
                quick ? 5 : kBursts, quick ? kServiceIdleQuick : kServiceIdle);
    return bench.run();
}
