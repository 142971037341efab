#include "panel_figures.h"

#include "panel_constants.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <QFileInfo>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace kavo::bench {
namespace {

constexpr auto kSettleAfterMap = 500ms; // first paint and deferred set-up are done by then
constexpr auto kIdleSettle = 2s;
constexpr auto kIdleLength = 10s;
const QString kBareTitle = QStringLiteral("bare window");
const QString kReferenceTitle = QStringLiteral("reference window");
constexpr double kLineTimeUs = 4 * 10 * 1e6 / 19200; // "CR0" + CR, 10 bits a byte

} // namespace

PanelFigures::~PanelFigures() {
    stop(m_simulator);
}

bool PanelFigures::measure(QString* error) {
    if (!startProjector(error))
        return false;
    std::printf("start-up and memory (%d runs each)...\n", m_counts.startUpRuns);
    std::fflush(stdout);
    if (!startUp(error))
        return false;
    std::printf("idle (%d runs of %lld s)...\n", m_counts.longRuns, qlonglong(kIdleLength.count()));
    std::fflush(stdout);
    if (!idle(error))
        return false;
    std::printf("click, reply, hold and flood in the panel (about %d s)...\n",
                m_counts.samples / 20 + m_counts.longRuns * 28);
    std::fflush(stdout);
    stop(m_simulator); // the in-process figures bring their own line
    return inProcess(error);
}

QString PanelFigures::describe() const {
    return QStringLiteral("Xvfb 1280x1024x24; COM1: %1; start-up %2 runs each, click/reply %3 "
                          "samples, hold/flood/idle %4 runs")
        .arg(m_projector)
        .arg(m_counts.startUpRuns)
        .arg(m_counts.samples)
        .arg(m_counts.longRuns);
}

// COM1 answers through the simulated projector when it is built, else
// through a pseudo-terminal held here (start-up sends nothing either way).
bool PanelFigures::startProjector(QString* error) {
    const QString entry = m_workspace.portFolder() + QStringLiteral("/COM1");
    if (!m_programs.simulator.isEmpty() && QFileInfo(m_programs.simulator).isExecutable()) {
        auto child = spawn(m_programs.simulator, {QStringLiteral("--port"), QStringLiteral("1")},
                           m_workspace.environment(), m_workspace.log(QStringLiteral("simulator")));
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
    if (!m_pty.isValid() || !m_pty.linkAs(m_workspace.portFolder(), 1)) {
        *error = QStringLiteral("cannot link a pseudo-terminal as COM1");
        return false;
    }
    m_projector = QStringLiteral("pseudo-terminal");
    return true;
}

std::optional<PanelFigures::Shown> PanelFigures::startOnce(const QString& program,
                                                           const QStringList& arguments,
                                                           const QString& wantedTitle,
                                                           QString* error) {
    m_display.drain();
    const double start = nowMs();
    auto child = spawn(program, arguments, m_workspace.environment(),
                       m_workspace.log(QFileInfo(program).fileName()));
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

bool PanelFigures::startUp(QString* error) {
    // One unmeasured start of each fills the page cache and font caches.
    for (bool measured : {false, true}) {
        const int runs = measured ? m_counts.startUpRuns : 1;
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
            const auto withPort = startOnce(m_programs.referencePort, {}, kReferenceTitle, error);
            if (!withPort)
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
            m_referencePortStart.push_back(withPort->ms);
            m_referencePortMemory.push_back(withPort->residentMb);
        }
    }
    return true;
}

bool PanelFigures::idle(QString* error) {
    for (int i = 0; i < m_counts.longRuns; ++i) {
        m_display.drain();
        auto panel = spawn(m_programs.panel, {}, m_workspace.environment(),
                           m_workspace.log(QStringLiteral("idle-panel")));
        auto bare = spawn(m_programs.bare, {}, m_workspace.environment(),
                          m_workspace.log(QStringLiteral("idle-bare")));
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

bool PanelFigures::inProcess(QString* error) {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) {
        *error = QStringLiteral("pipe failed");
        return false;
    }
    auto child = spawn(m_programs.harness,
                       {QStringLiteral("--samples"), QString::number(m_counts.samples),
                        QStringLiteral("--runs"), QString::number(m_counts.longRuns)},
                       m_workspace.environment(), m_workspace.log(QStringLiteral("panel-bench")),
                       Redirect{pipe[1], -1});
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

std::vector<double> PanelFigures::figure(const char* name) const {
    return m_inProcess.value(QString::fromLatin1(name));
}

void PanelFigures::addRows(Table& table) const {
    // A whole-process figure against the plain Qt windows with the panel's
    // widgets, with and without its store and port (counted where a factor
    // is given), and the bare window with and without a line of text (for
    // explanation only).
    struct Reference {
        QString name;
        const std::vector<double>& samples;
        std::optional<double> factor;
    };
    const auto ratioRows = [&](const QString& name, const QString& unit,
                               const std::vector<double>& panel,
                               std::initializer_list<Reference> references) {
        const Summary measured = summarise(panel);
        bool first = true;
        for (const Reference& reference : references) {
            const Summary summary = summarise(reference.samples);
            QString target;
            std::optional<bool> met;
            if (reference.factor) {
                const double limit = *reference.factor * summary.median;
                target = QStringLiteral("median <= %1 x ref (%2)")
                             .arg(QString::number(*reference.factor), number(limit, 1));
                met = measured.median <= limit;
            }
            table.add({first ? name : QStringLiteral("  the same"), first ? unit : QString(),
                       measured, reference.name, summary, target},
                      met);
            first = false;
        }
    };
    const QString plainPort = QStringLiteral("plain window + store + port");
    const QString plain = QStringLiteral("plain Qt window, same widgets");
    const QString text = QStringLiteral("bare window + 1 text line");
    const QString bare = QStringLiteral("bare Qt window");
    ratioRows(QStringLiteral("start-up to window shown"), QStringLiteral("ms"), m_panelStart,
              {{plainPort, m_referencePortStart, 1.15},
               {plain, m_referenceStart, 1.25},
               {text, m_textStart, std::nullopt},
               {bare, m_bareStart, std::nullopt}});
    ratioRows(QStringLiteral("resident memory once shown"), QStringLiteral("MB"), m_panelMemory,
              {{plain, m_referenceMemory, 1.08},
               {plainPort, m_referencePortMemory, std::nullopt},
               {text, m_textMemory, std::nullopt},
               {bare, m_bareMemory, std::nullopt}});

    const Summary wire = summarise(figure("click_wire_us"));
    table.add({QStringLiteral("click to wire"), QStringLiteral("us"), wire,
               QStringLiteral("bare button + QSerialPort"),
               summarise(figure("click_wire_floor_us")),
               QStringLiteral("median < %1, worst < %2")
                   .arg(number(0.05 * kLineTimeUs, 0), number(0.25 * kLineTimeUs, 0)),
               0},
              wire.median < 0.05 * kLineTimeUs && wire.worst < 0.25 * kLineTimeUs);
    table.add({QStringLiteral("  other references"),
               QString(),
               {},
               QStringLiteral("pty alone: write() + repaint"),
               summarise(figure("click_wire_pty_us")),
               QString(),
               0});
    table.add({QString(),
               QString(),
               {},
               QStringLiteral("line time, 4 bytes at 19200"),
               constant(kLineTimeUs),
               QString(),
               0});
    const Summary screen = summarise(figure("reply_screen_us"));
    table.add({QStringLiteral("reply to screen"), QStringLiteral("us"), screen,
               QStringLiteral("bare QSerialPort + 2 labels"),
               summarise(figure("reply_screen_floor_us")), QStringLiteral("median < 200"), 0},
              screen.median < 200);

    const QString floorTimer = QStringLiteral("plain periodic QTimer");
    const Summary sends = summarise(figure("hold_sends"), 101.0);
    table.add({QStringLiteral("hold 10 s: sends"), QString(), sends, floorTimer,
               summarise(figure("hold_floor_sends"), 101.0), QStringLiteral("101 in every run"), 0},
              sends.worst == 101);
    table.add({QStringLiteral("hold: mean interval"), QStringLiteral("ms"),
               summarise(figure("hold_mean_ms"), 100.0), floorTimer,
               summarise(figure("hold_floor_mean_ms"), 100.0), QString(), 3});
    const Summary deviation = summarise(figure("hold_worst_dev_ms"));
    table.add({QStringLiteral("hold: worst deviation from 100"), QStringLiteral("ms"), deviation,
               floorTimer, summarise(figure("hold_floor_worst_dev_ms")),
               QStringLiteral("worst < 5"), 2},
              deviation.worst < 5);
    table.add({QStringLiteral("hold: drift of the last send"), QStringLiteral("ms"),
               summarise(figure("hold_drift_ms")), floorTimer,
               summarise(figure("hold_floor_drift_ms")), QString(), 1});
    const Summary afterRelease = summarise(figure("hold_after_release"));
    table.add({QStringLiteral("hold: sends after the release"),
               QString(),
               afterRelease,
               QString(),
               {},
               QStringLiteral("none"),
               0},
              afterRelease.worst == 0);

    const Summary stall = summarise(figure("flood_stall_ms"));
    table.add({QStringLiteral("flood 10 s: longest loop stall"), QStringLiteral("ms"), stall,
               QStringLiteral("same loop, quiet line, 2 s"),
               summarise(figure("flood_quiet_stall_ms")), QStringLiteral("worst < 50"), 2},
              stall.worst < 50);
    table.add({QStringLiteral("flood: CPU used in 10 s"), QStringLiteral("ms"),
               summarise(figure("flood_cpu_ms")), QStringLiteral("peer's rate, kB/s"),
               summarise(figure("flood_rate_kbs")), QString(), 0});
    const Summary growth = summarise(figure("flood_growth_mb"));
    table.add({QStringLiteral("flood: memory growth"),
               QStringLiteral("MB"),
               growth,
               QString(),
               {},
               QStringLiteral("worst < 5"),
               2},
              growth.worst < 5);

    const Summary idlePanel = summarise(m_panelIdle);
    table.add({QStringLiteral("idle 10 s: CPU used"), QStringLiteral("ms"), idlePanel,
               QStringLiteral("bare Qt window"), summarise(m_bareIdle),
               QStringLiteral("worst < 10"), 2},
              idlePanel.worst < 10);
}

} // namespace kavo::bench
