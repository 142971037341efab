// kavo-bench-panel: the in-process figures of the benchmark. The panel window
// runs on the product serial port, settings store and timers, opened through a
// seeded configuration on COM1; the benchmark plays the projector on the
// pseudo-terminal's master and drives the window with mouse events that go
// through QApplication. A bare window with one button, two labels and a
// QSerialPort on a second pseudo-terminal gives the floor for the same paths.
//
// Output: one line per figure, "<name> <sample> <sample> ...", read by
// kavo-bench; "error <text>" when a measurement could not be made.

#include "app_values.h"
#include "bench_pty.h"
#include "form1.h"
#include "line_settings.h"
#include "port_factory.h"
#include "port_paths.h"
#include "qt_platform.h"
#include "status_decoders.h"
#include "trace.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>
#include <poll.h>
#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>
#include <random>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace kavo;
using namespace kavo::bench;
using namespace std::chrono_literals;

namespace {

// Status read and its two alternating replies: the status line changes on
// every sample, so "updated" is always a change.
constexpr int kStatusButton = 44;  // "STATUS", sends "CR0" + CR
constexpr int kVolumeUpButton = 1; // VOLUME up arrow, repeats "C09" + CR
const QByteArray kStatusCommand = "CR0\r";
const QByteArray kVolumeUpCommand = "C09";
const QByteArray kReplies[] = {"00\r", "80\r"};
constexpr char kAck = 0x06;

constexpr auto kHoldLength = 10050ms; // 10 s and half a repeat interval, see holdOnce
constexpr auto kFloodLength = 10s;
constexpr auto kQuietReference = 2s;
constexpr auto kProbeInterval = 1ms;
constexpr auto kOperatorClickInterval = 250ms;
constexpr double kGiveUpUs = 2e6;

double nowUs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e6 + double(ts.tv_nsec) / 1e3;
}

double cpuUs(clockid_t clock) {
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return double(ts.tv_sec) * 1e6 + double(ts.tv_nsec) / 1e3;
}

qint64 residentKb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Runs the event loop for a while without spinning.
void runFor(std::chrono::milliseconds length) {
    QEventLoop loop;
    QTimer::singleShot(length, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

void print(const char* name, const std::vector<double>& samples) {
    std::printf("%s", name);
    for (const double value : samples)
        std::printf(" %.4f", value);
    std::printf("\n");
    std::fflush(stdout);
}

void fail(const QString& text) {
    std::printf("error %s\n", qPrintable(text));
    std::fflush(stdout);
}

// Turns the event loop until `done` holds; the time it was first seen to hold.
template <typename Done> std::optional<double> spinUntil(Done done) {
    const double start = nowUs();
    for (;;) {
        QCoreApplication::processEvents();
        const double now = nowUs();
        if (done())
            return now;
        if (now - start > kGiveUpUs)
            return std::nullopt;
    }
}

// The floor: a plain button writing to a plain QSerialPort, and two plain
// labels set from its readyRead.
class FloorWindow : public QWidget {
  public:
    explicit FloorWindow(const QString& device) {
        setWindowTitle(QStringLiteral("floor"));
        auto* layout = new QVBoxLayout(this);
        button = new QPushButton(QStringLiteral("STATUS"), this);
        trace = new QLabel(this);
        status = new QLabel(this);
        layout->addWidget(button);
        layout->addWidget(trace);
        layout->addWidget(status);
        m_port.setPortName(device);
        m_port.setBaudRate(19200);
        opened = m_port.open(QIODevice::ReadWrite);
        connect(button, &QPushButton::clicked, this, [this] {
            m_port.write(kStatusCommand);
            m_port.flush();
            m_received.clear();
        });
        m_repeat.setTimerType(Qt::PreciseTimer);
        m_repeat.setInterval(100ms);
        connect(&m_repeat, &QTimer::timeout, this, [this] { sendRepeat(); });
        connect(&m_port, &QSerialPort::readyRead, this, [this] {
            m_received += m_port.readAll();
            trace->setText(QString::fromLatin1(m_received));
            status->setText(m_received.startsWith('0') ? QStringLiteral("on")
                                                       : QStringLiteral("off"));
        });
    }

    // A periodic timer that is never restarted: the best cadence Qt gives.
    void startRepeat() {
        sendRepeat();
        m_repeat.start();
    }
    void stopRepeat() { m_repeat.stop(); }

    QPushButton* button = nullptr;
    QLabel* trace = nullptr;
    QLabel* status = nullptr;
    bool opened = false;

  private:
    void sendRepeat() {
        m_port.write(kVolumeUpCommand + '\r');
        m_port.flush();
    }

    QSerialPort m_port;
    QTimer m_repeat;
    QByteArray m_received;
};

// The projector's side of a line: stamps every command line as its CR
// becomes readable and, when asked, acknowledges it, on its own thread, so the
// time is taken however busy the panel's thread is (a button's own repaint,
// for one). It waits in poll(), or spins while a short measurement asks it to:
// waking an idle virtual CPU from poll() can take longer than what is measured.
class LinePeer {
  public:
    struct Arrival {
        double us;
        QByteArray command;
    };
    enum class Answer { None, Ack };

    LinePeer(const BenchPty& pty, Answer answer)
        : m_pty(pty), m_answer(answer), m_thread([this] { run(); }) {}
    ~LinePeer() { stop(); }

    void stop() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    std::vector<Arrival> arrivals() {
        std::lock_guard lock(m_mutex);
        return m_arrivals;
    }
    std::size_t count() {
        std::lock_guard lock(m_mutex);
        return m_arrivals.size();
    }
    void setSpinning(bool spinning) { m_spinning = spinning; }

  private:
    void run() {
        QByteArray line;
        while (!m_stop) {
            if (!m_spinning) {
                pollfd wait{m_pty.master(), POLLIN, 0};
                if (::poll(&wait, 1, 5) <= 0)
                    continue;
            }
            const QByteArray piece = m_pty.readAvailable();
            if (piece.isEmpty())
                continue;
            const double now = nowUs();
            for (const char ch : piece) {
                if (ch != '\r') {
                    line += ch;
                    continue;
                }
                {
                    std::lock_guard lock(m_mutex);
                    m_arrivals.push_back({now, line});
                }
                line.clear();
                if (m_answer == Answer::Ack)
                    m_pty.writeAll(QByteArrayView(&kAck, 1));
            }
        }
    }

    const BenchPty& m_pty;
    const Answer m_answer;
    std::atomic<bool> m_stop = false;
    std::atomic<bool> m_spinning = false;
    std::mutex m_mutex;
    std::vector<Arrival> m_arrivals;
    std::thread m_thread;
};

// A peer writing a wild line as fast as the pseudo-terminal takes it, and
// throwing away what the panel sends.
class FloodPeer {
  public:
    explicit FloodPeer(const BenchPty& pty) : m_pty(pty) {
        std::mt19937 random(20240609);
        m_noise.resize(64 * 1024);
        for (char& byte : m_noise)
            byte = char(random() & 0xFF);
        m_thread = std::thread([this] { run(); });
    }
    ~FloodPeer() { stop(); }

    void stop() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    qint64 bytesWritten() const { return m_written; }
    double cpuUsedUs() const { return m_cpuUs; }

  private:
    void run() {
        const double cpuStart = cpuUs(CLOCK_THREAD_CPUTIME_ID);
        qsizetype offset = 0;
        while (!m_stop) {
            const qsizetype chunk = std::min<qsizetype>(4096, m_noise.size() - offset);
            const ssize_t n = ::write(m_pty.master(), m_noise.constData() + offset, size_t(chunk));
            if (n > 0) {
                m_written += n;
                offset = (offset + n) % m_noise.size();
            } else {
                pollfd wait{m_pty.master(), POLLOUT, 0};
                ::poll(&wait, 1, 10);
            }
            m_pty.readAvailable();
        }
        m_cpuUs = cpuUs(CLOCK_THREAD_CPUTIME_ID) - cpuStart;
    }

    const BenchPty& m_pty;
    QByteArray m_noise;
    std::atomic<bool> m_stop = false;
    std::atomic<qint64> m_written = 0;
    std::atomic<double> m_cpuUs = 0;
    std::thread m_thread;
};

// The longest time the event loop took to come back to a due timer.
class StallProbe {
  public:
    StallProbe() {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(kProbeInterval);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const double now = nowUs();
            m_longestGapUs = std::max(m_longestGapUs, now - m_lastUs);
            m_lastUs = now;
        });
    }
    void start() {
        m_longestGapUs = 0;
        m_lastUs = nowUs();
        m_timer.start();
    }
    // Longest gap beyond the probe's own interval, in ms.
    double stop() {
        m_timer.stop();
        m_longestGapUs = std::max(m_longestGapUs, nowUs() - m_lastUs);
        const double interval = std::chrono::duration<double, std::micro>(kProbeInterval).count();
        return std::max(0.0, m_longestGapUs - interval) / 1000;
    }

  private:
    QTimer m_timer;
    double m_lastUs = 0;
    double m_longestGapUs = 0;
};

class PanelBench {
  public:
    bool setUp() {
        if (!m_home.isValid() || !m_panelPty.isValid() || !m_floorPty.isValid()) {
            fail(QStringLiteral("no temporary folder or pseudo-terminal"));
            return false;
        }
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.path()));
        QFile conf(m_home.path() + QStringLiteral("/KAVO.conf"));
        if (!conf.open(QIODevice::WriteOnly) ||
            conf.write("[StartUP]\nComPort=1\nBaudRate=192\n") < 0) {
            fail(QStringLiteral("cannot seed the settings"));
            return false;
        }
        conf.close();
        if (!m_panelPty.linkAs(portFolder(), 1)) {
            fail(QStringLiteral("cannot link COM1"));
            return false;
        }

        m_session = std::make_unique<PanelSession>(m_port, m_timers, m_store);
        m_form = std::make_unique<Form1>(*m_session);
        m_form->Form_Load();
        if (!m_port.isOpen()) {
            fail(QStringLiteral("the panel did not open COM1"));
            return false;
        }
        m_form->show();
        m_form->activateWindow();
        m_floor = std::make_unique<FloorWindow>(m_floorPty.slavePath());
        if (!m_floor->opened) {
            fail(QStringLiteral("the floor window did not open its port"));
            return false;
        }
        m_floor->move(0, 0);
        m_floor->show();
        if (!QTest::qWaitForWindowExposed(m_form.get()) ||
            !QTest::qWaitForWindowExposed(m_floor.get())) {
            fail(QStringLiteral("windows not exposed"));
            return false;
        }
        // The operator's window is the active one; a hold ends when it is not.
        m_form->activateWindow();
        if (!QTest::qWaitForWindowActive(m_form.get(), 2000)) {
            fail(QStringLiteral("the panel window did not become active"));
            return false;
        }
        runFor(300ms);
        return true;
    }

    // Click on STATUS to its four bytes readable at the master, then the
    // reply written at the master to both lines showing it; the floor window
    // is measured the same way, sample for sample.
    void clickAndReply(int samples) {
        std::vector<double> wire, wireFloor, wirePty, screen, screenFloor;
        LinePeer panelLine(m_panelPty, LinePeer::Answer::None);
        LinePeer floorLine(m_floorPty, LinePeer::Answer::None);
        for (int i = 0; i < samples; ++i) {
            const QByteArray& reply = kReplies[i % 2];
            const QString traceShown = renderTrace(QString::fromLatin1(reply)).text;
            const QString statusShown =
                decodeStatus(commandLine(QStringLiteral("CR0")), traceShown, reply.size())
                    .value_or(QString());
            QLabel* rxd = panelControl<QLabel>("Label", 12);
            QLabel* status = panelControl<QLabel>("Label", 25);
            const auto panelShows = [&] {
                return rxd->text() == traceShown && status->text() == statusShown;
            };
            const auto wireTime =
                measureClick(panelControl<QPushButton>("Command", kStatusButton), panelLine);
            const auto screenTime =
                wireTime ? measureReply(m_panelPty, reply, panelShows) : std::nullopt;

            const QString floorStatus =
                reply.startsWith('0') ? QStringLiteral("on") : QStringLiteral("off");
            const auto floorShows = [&] {
                return m_floor->trace->text() == QString::fromLatin1(reply) &&
                       m_floor->status->text() == floorStatus;
            };
            const auto floorWire = measureClick(m_floor->button, floorLine);
            const auto floorScreen =
                floorWire ? measureReply(m_floorPty, reply, floorShows) : std::nullopt;
            const auto ptyAlone = measurePtyAlone(m_floor->button, m_floorPty, floorLine);
            if (!wireTime || !screenTime || !floorWire || !floorScreen || !ptyAlone) {
                fail(QStringLiteral("click or reply sample %1 did not complete").arg(i));
                return;
            }
            wire.push_back(*wireTime);
            screen.push_back(*screenTime);
            wireFloor.push_back(*floorWire);
            screenFloor.push_back(*floorScreen);
            wirePty.push_back(*ptyAlone);
        }
        print("click_wire_us", wire);
        print("click_wire_floor_us", wireFloor);
        print("click_wire_pty_us", wirePty);
        print("reply_screen_us", screen);
        print("reply_screen_floor_us", screenFloor);
    }

    // A hold on VOLUME up, then the floor's plain periodic timer for as long.
    void hold(int runs) {
        std::vector<double> sends, mean, worst, drift, late;
        std::vector<double> floorSends, floorMean, floorWorst, floorDrift;
        QPushButton* arrow = panelControl<QPushButton>("Command", kVolumeUpButton);
        for (int run = 0; run < runs; ++run) {
            runFor(1500ms); // the display clear of the last send has run
            const auto result = holdOnce(
                m_panelPty, [arrow] { QTest::mousePress(arrow, Qt::LeftButton); },
                [arrow] { QTest::mouseRelease(arrow, Qt::LeftButton); });
            const auto floor = holdOnce(
                m_floorPty, [this] { m_floor->startRepeat(); }, [this] { m_floor->stopRepeat(); });
            if (!result || !floor)
                return;
            sends.push_back(result->sends);
            mean.push_back(result->meanMs);
            worst.push_back(result->worstDeviationMs);
            drift.push_back(result->driftMs);
            late.push_back(result->afterRelease);
            floorSends.push_back(floor->sends);
            floorMean.push_back(floor->meanMs);
            floorWorst.push_back(floor->worstDeviationMs);
            floorDrift.push_back(floor->driftMs);
        }
        print("hold_sends", sends);
        print("hold_mean_ms", mean);
        print("hold_worst_dev_ms", worst);
        print("hold_drift_ms", drift);
        print("hold_after_release", late);
        print("hold_floor_sends", floorSends);
        print("hold_floor_mean_ms", floorMean);
        print("hold_floor_worst_dev_ms", floorWorst);
        print("hold_floor_drift_ms", floorDrift);
    }

    void flood(int runs) {
        std::vector<double> stall, quietStall, cpu, growth, rate;
        for (int run = 0; run < runs; ++run) {
            runFor(1500ms);
            m_panelPty.readAvailable();
            StallProbe probe;
            probe.start();
            runFor(kQuietReference);
            quietStall.push_back(probe.stop());

            // The operator keeps clicking STATUS, so the receive buffer keeps
            // being emptied and refilled rather than staying full.
            QTimer clicks;
            clicks.setInterval(kOperatorClickInterval);
            QObject::connect(&clicks, &QTimer::timeout, [this] {
                QTest::mouseClick(panelControl<QPushButton>("Command", kStatusButton),
                                  Qt::LeftButton);
            });
            qint64 peakKb = residentKb();
            QTimer memory;
            memory.setInterval(100ms);
            QObject::connect(&memory, &QTimer::timeout,
                             [&peakKb] { peakKb = std::max(peakKb, residentKb()); });

            const qint64 startKb = residentKb();
            const double cpuStart = cpuUs(CLOCK_PROCESS_CPUTIME_ID);
            FloodPeer peer(m_panelPty);
            probe.start();
            clicks.start();
            memory.start();
            runFor(std::chrono::duration_cast<std::chrono::milliseconds>(kFloodLength));
            const double floodStall = probe.stop();
            clicks.stop();
            memory.stop();
            peer.stop();
            const double cpuUsed = cpuUs(CLOCK_PROCESS_CPUTIME_ID) - cpuStart - peer.cpuUsedUs();
            peakKb = std::max(peakKb, residentKb());

            stall.push_back(floodStall);
            cpu.push_back(cpuUsed / 1000);
            growth.push_back(double(peakKb - startKb) / 1024);
            rate.push_back(double(peer.bytesWritten()) /
                           std::chrono::duration<double>(kFloodLength).count() / 1024);
            // Let the panel swallow what is still queued before the next run.
            runFor(500ms);
            m_panelPty.readAvailable();
        }
        print("flood_stall_ms", stall);
        print("flood_quiet_stall_ms", quietStall);
        print("flood_cpu_ms", cpu);
        print("flood_growth_mb", growth);
        print("flood_rate_kbs", rate);
    }

  private:
    // A panel control by its object name, "Command17", "Label25" ...
    template <typename Widget> Widget* panelControl(const char* kind, int number) const {
        return m_form->findChild<Widget*>(QLatin1String(kind) + QString::number(number));
    }

    struct HoldResult {
        double sends = 0, meanMs = 0, worstDeviationMs = 0, driftMs = 0, afterRelease = 0;
    };

    // The press is drawn before the measured release; the time runs from the
    // release event to the peer seeing the command's CR.
    std::optional<double> measureClick(QPushButton* button, LinePeer& line) {
        const std::size_t before = line.count();
        QTest::mousePress(button, Qt::LeftButton);
        runFor(2ms);
        line.setSpinning(true);
        const double start = nowUs();
        QTest::mouseRelease(button, Qt::LeftButton);
        while (line.count() == before && nowUs() - start < kGiveUpUs) {
            QCoreApplication::processEvents();
            ::usleep(50);
        }
        line.setSpinning(false);
        runFor(3ms);
        const auto arrivals = line.arrivals();
        if (arrivals.size() != before + 1 || arrivals.back().command + '\r' != kStatusCommand)
            return std::nullopt;
        return arrivals.back().us - start;
    }

    // The line's own share: the command written straight to the slave, then a
    // button repainted on this thread as a click's release does, to the peer
    // seeing its CR.
    std::optional<double> measurePtyAlone(QPushButton* button, const BenchPty& pty,
                                          LinePeer& line) {
        const std::size_t before = line.count();
        runFor(2ms);
        line.setSpinning(true);
        const double start = nowUs();
        const bool written = ::write(pty.slave(), kStatusCommand.constData(),
                                     size_t(kStatusCommand.size())) == kStatusCommand.size();
        button->repaint();
        while (written && line.count() == before && nowUs() - start < kGiveUpUs)
            ::usleep(50);
        line.setSpinning(false);
        runFor(3ms);
        const auto arrivals = line.arrivals();
        if (!written || arrivals.size() != before + 1)
            return std::nullopt;
        return arrivals.back().us - start;
    }

    template <typename Shows>
    std::optional<double> measureReply(const BenchPty& pty, const QByteArray& reply, Shows shows) {
        if (!pty.writeAll(reply))
            return std::nullopt;
        const double written = nowUs();
        const auto shown = spinUntil(shows);
        runFor(5ms);
        if (!shown)
            return std::nullopt;
        return *shown - written;
    }

    // Press, hold for 10 s and half a repeat interval, release. The half
    // interval keeps the send due at 10 s inside the hold however the timer's
    // jitter falls, so a sender that keeps time sends exactly 1 + 100 times.
    template <typename Press, typename Release>
    std::optional<HoldResult> holdOnce(const BenchPty& pty, Press press, Release release) {
        LinePeer peer(pty, LinePeer::Answer::Ack);
        runFor(50ms);
        const double pressed = nowUs();
        press();
        runFor(kHoldLength);
        const double released = nowUs();
        release();
        runFor(500ms);
        peer.stop();

        HoldResult result;
        std::vector<double> times;
        for (const auto& arrival : peer.arrivals()) {
            if (arrival.command != kVolumeUpCommand) {
                fail(QStringLiteral("unexpected command during the hold: %1")
                         .arg(QString::fromLatin1(arrival.command.toPercentEncoding())));
                return std::nullopt;
            }
            if (arrival.us > released)
                ++result.afterRelease;
            else if (arrival.us >= pressed)
                times.push_back(arrival.us);
        }
        result.sends = double(times.size());
        if (times.size() < 2) {
            fail(QStringLiteral("a hold sent %1 times").arg(times.size()));
            return std::nullopt;
        }
        for (std::size_t i = 1; i < times.size(); ++i) {
            const double interval = (times[i] - times[i - 1]) / 1000;
            result.worstDeviationMs = std::max(result.worstDeviationMs, std::abs(interval - 100));
        }
        const double spanMs = (times.back() - times.front()) / 1000;
        result.meanMs = spanMs / double(times.size() - 1);
        result.driftMs = spanMs - 100 * double(times.size() - 1);
        return result;
    }

    QTemporaryDir m_home;
    BenchPty m_panelPty;
    BenchPty m_floorPty;
    QtPortFactory m_ports{linkedNetworkPorts()};
    PortByNumber m_port{m_ports};
    QtSettingsStore m_store;
    QtTimerFactory m_timers;
    std::unique_ptr<PanelSession> m_session;
    std::unique_ptr<Form1> m_form;
    std::unique_ptr<FloorWindow> m_floor;
};

int intArgument(const QStringList& arguments, const QString& name, int fallback) {
    const int at = int(arguments.indexOf(name));
    if (at < 0 || at + 1 >= arguments.size())
        return fallback;
    bool ok = false;
    const int value = arguments.at(at + 1).toInt(&ok);
    return ok && value > 0 ? value : fallback;
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const int samples = intArgument(arguments, QStringLiteral("--samples"), 200);
    const int runs = intArgument(arguments, QStringLiteral("--runs"), 3);

    PanelBench bench;
    if (!bench.setUp())
        return 1;
    bench.clickAndReply(samples);
    bench.hold(runs);
    bench.flood(runs);
    return 0;
}
