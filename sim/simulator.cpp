#include "simulator.h"

#include "trace.h"

#include <cstdio>
#include <QTime>

namespace kavo::sim {
namespace {

QString traced(const QByteArray& bytes) {
    return renderTrace(QString::fromLatin1(bytes)).text;
}

QString stamped(const QString& text) {
    return QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz")) + QStringLiteral("  ") +
           text;
}

} // namespace

void printLine(const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

Simulator::Simulator(const Options& options, CommandSet commands, SimLine& line)
    : m_options(options), m_model(std::move(commands), options.model),
      m_shaper(options.faults, options.seed), m_line(line) {
    m_writeTimer.setSingleShot(true);
    m_writeTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_writeTimer, &QTimer::timeout, this, &Simulator::writeDue);
    m_floodTimer.setInterval(kFloodTick);
    connect(&m_floodTimer, &QTimer::timeout, this, &Simulator::flood);
    m_hangUpTimer.setSingleShot(true);
    connect(&m_hangUpTimer, &QTimer::timeout, this, [this] { m_line.hangUp(); });
}

Simulator::~Simulator() = default;

void Simulator::start() {
    m_clock.start();
    m_line.start({[this](const QByteArray& bytes) { receive(bytes); },
                  [this](const QString& who) { connected(who); },
                  [this](const QString& why) { gone(why); },
                  [](const QString& what) { printLine(stamped(what)); }});
}

// The faults that belong to a connection start with it: a network client is
// flooded and hung up on as a panel on a pseudo-terminal is.
void Simulator::connected(const QString& who) {
    if (!who.isEmpty())
        printLine(stamped(QStringLiteral("client %1 connected").arg(who)));
    if (m_options.floodPerSecond > 0)
        m_floodTimer.start();
    if (m_options.hangUpAfter)
        m_hangUpTimer.start(*m_options.hangUpAfter);
}

void Simulator::gone(const QString& why) {
    m_writeTimer.stop();
    m_floodTimer.stop();
    m_hangUpTimer.stop();
    m_pending.clear();
    printLine(stamped(why));
}

void Simulator::receive(const QByteArray& bytes) {
    for (const Exchange& exchange : m_model.receive(bytes, now())) {
        std::vector<Piece> pieces = m_shaper.shape(exchange.reply, now());
        if (m_pending.size() + pieces.size() > std::size_t(kMaxPendingPieces)) {
            // Slow replies piling up under a stream of lines: shed the newest.
            printLine(stamped(QStringLiteral("too many replies waiting: one not sent")));
            continue;
        }
        report(exchange, pieces);
        m_pending.insert(m_pending.end(), std::make_move_iterator(pieces.begin()),
                         std::make_move_iterator(pieces.end()));
    }
    writeDue();
}

void Simulator::report(const Exchange& exchange, const std::vector<Piece>& pieces) {
    QString line =
        exchange.dropped
            ? QStringLiteral("in: (%1 characters without CR, dropped)  [CR] ").arg(exchange.dropped)
            : QStringLiteral("in:") + traced(exchange.arrived);
    if (pieces.empty()) {
        line += QStringLiteral("  out: (no answer)");
    } else {
        QByteArray sent;
        for (const Piece& piece : pieces)
            sent += piece.bytes;
        line += QStringLiteral("  out:") + traced(sent);
        const milliseconds wait = pieces.front().due - now();
        if (wait.count() > 0)
            line += QStringLiteral(" (after %1 ms)").arg(wait.count());
        if (pieces.size() > 1) {
            line += QStringLiteral(" (in %1 pieces, %2 ms apart)")
                        .arg(pieces.size())
                        .arg(m_options.faults.pieceGap.count());
        }
    }
    printLine(stamped(line));
}

void Simulator::writeDue() {
    while (!m_pending.empty() && m_pending.front().due <= now()) {
        const QByteArray bytes = m_pending.front().bytes;
        m_pending.pop_front();
        const qsizetype sent = m_line.send(bytes);
        if (sent < bytes.size() && m_line.isConnected()) {
            printLine(stamped(QStringLiteral("line full: %1 bytes of a reply not sent")
                                  .arg(bytes.size() - sent)));
        }
    }
    if (m_pending.empty()) {
        m_writeTimer.stop();
        return;
    }
    m_writeTimer.start(std::max(milliseconds{0}, m_pending.front().due - now()));
}

void Simulator::flood() {
    m_floodOwed += double(m_options.floodPerSecond) * double(kFloodTick.count()) / 1000.0;
    const auto count = qsizetype(m_floodOwed);
    m_floodOwed -= double(count);
    if (count > 0)
        m_line.send(m_shaper.randomBytes(count));
}

void Simulator::control(const QByteArray& line) {
    if (line.trimmed().isEmpty())
        return;
    const QString problem = m_model.control(line, now());
    printLine(problem.isEmpty() ? QStringLiteral("set: %1").arg(QString::fromLatin1(line.trimmed()))
                                : QStringLiteral("not set: %1").arg(problem));
}

} // namespace kavo::sim
