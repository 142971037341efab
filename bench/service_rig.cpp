#include "service_rig.h"

#include "catalogue.h"

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <QFile>
#include <unistd.h>

using namespace std::chrono_literals;

namespace kavo::bench {

ProjectorLines::Line::Line() : model(kavo::sim::CommandSet(kavo::catalogue::allCommands())) {}

ProjectorLines::ProjectorLines(int count) {
    for (int i = 0; i < count; ++i)
        m_lines.push_back(std::make_unique<Line>());
    m_thread = std::thread([this] { run(); });
}

ProjectorLines::~ProjectorLines() {
    m_stop = true;
    m_thread.join();
}

bool ProjectorLines::isValid() const {
    return std::all_of(m_lines.begin(), m_lines.end(),
                       [](const auto& line) { return line->pty.isValid(); });
}

std::optional<double> ProjectorLines::replyBefore(int line, const QByteArray& read,
                                                  double ms) const {
    const std::lock_guard lock(m_mutex);
    std::optional<double> last;
    for (const auto& [arrived, at] : m_lines[std::size_t(line)]->replies) {
        if (arrived == read && at <= ms)
            last = at;
    }
    return last;
}

void ProjectorLines::run() {
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
                // The reads' replies are what tells the service of a change.
                if (exchange.arrived.startsWith("CR")) {
                    const std::lock_guard lock(m_mutex);
                    line->replies.emplace_back(exchange.arrived, nowMs());
                }
            }
        }
    }
}

Instances::~Instances() {
    for (Child& instance : m_all)
        stop(instance);
}

QString ServiceLauncher::journalPath(const QString& name) const {
    return m_workspace.filePath(name + QStringLiteral(".journal"));
}

QString ServiceLauncher::socketPath(const QString& name) const {
    return m_workspace.runtime() + QLatin1Char('/') + name + QStringLiteral(".sock");
}

std::optional<Child> ServiceLauncher::start(const QString& name, const QString& device,
                                            const QStringList& options, QString* error) const {
    const int out = ::open(QFile::encodeName(journalPath(name)).constData(),
                           O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        *error = QStringLiteral("cannot write %1").arg(journalPath(name));
        return std::nullopt;
    }
    auto child = spawn(m_program,
                       QStringList{QStringLiteral("--name"), name, QStringLiteral("--device"),
                                   device, QStringLiteral("--socket"), socketPath(name)} +
                           options,
                       m_workspace.environment(), m_workspace.log(name), Redirect{out, -1});
    ::close(out);
    if (!child)
        *error = QStringLiteral("cannot start %1").arg(m_program);
    return child;
}

bool ServiceLauncher::warmedUp(const Child& service, const QString& name, QString* error) const {
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

bool ServiceLauncher::startAll(int count, const ProjectorLines& lines,
                               const std::function<QString(int)>& name,
                               const std::function<QStringList(int)>& options, Instances& into,
                               QString* error) const {
    for (int i = 0; i < count; ++i) {
        const auto service = start(name(i), lines.device(i), options(i), error);
        if (!service)
            return false;
        into.all().push_back(*service);
    }
    for (int i = 0; i < count; ++i) {
        if (!warmedUp(into[i], name(i), error))
            return false;
    }
    return true;
}

bool ServiceLauncher::stopMeasured(Child& service, const QString& name, bool measured,
                                   QString* error) const {
    const bool ran = alive(service);
    if (!ran)
        service.pid = -1; // reaped already
    stop(service);
    if (measured && !ran)
        *error = QStringLiteral("%1 ended by itself").arg(name);
    return measured && ran;
}

} // namespace kavo::bench
