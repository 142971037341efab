#include "simulator.h"

#include "pseudo_terminal.h"
#include "trace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <QSocketNotifier>
#include <QTime>
#include <unistd.h>

namespace kavo::sim {
namespace {

constexpr qsizetype kReadChunk = 4096;

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

Simulator::Simulator(const Options& options, CommandSet commands, PseudoTerminal& line)
    : m_options(options), m_model(std::move(commands), options.model),
      m_shaper(options.faults, options.seed), m_line(line) {
    m_writeTimer.setSingleShot(true);
    m_writeTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_writeTimer, &QTimer::timeout, this, &Simulator::writeDue);
    m_floodTimer.setInterval(kFloodTick);
    connect(&m_floodTimer, &QTimer::timeout, this, &Simulator::flood);
    m_hangUpTimer.setSingleShot(true);
    connect(&m_hangUpTimer, &QTimer::timeout, this,
            [this] { hangUp(QStringLiteral("hung up as asked: the line is closed")); });
}

Simulator::~Simulator() = default;

void Simulator::start() {
    m_clock.start();
    m_reader = std::make_unique<QSocketNotifier>(m_line.master(), QSocketNotifier::Read);
    connect(m_reader.get(), &QSocketNotifier::activated, this, &Simulator::readLine);
    if (m_options.floodPerSecond > 0)
        m_floodTimer.start();
    if (m_options.hangUpAfter)
        m_hangUpTimer.start(*m_options.hangUpAfter);
}

void Simulator::readLine() {
    char buffer[kReadChunk];
    const ssize_t count = ::read(m_line.master(), buffer, sizeof buffer);
    if (count < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (count <= 0) {
        // Should not happen while the simulator holds the other side open;
        // stop reading rather than spin on a dead line.
        hangUp(QStringLiteral("the line failed (%1): the line is closed")
                   .arg(QString::fromLocal8Bit(std::strerror(count < 0 ? errno : EIO))));
        return;
    }
    for (const Exchange& exchange : m_model.receive(QByteArrayView(buffer, count), now())) {
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
        const qsizetype sent = send(bytes);
        if (sent < bytes.size() && m_line.isOpen()) {
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

// Writes what the line takes now; a full line drops the rest instead of
// blocking the simulator.
qsizetype Simulator::send(const QByteArray& bytes) {
    if (!m_line.isOpen())
        return 0;
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t count =
            ::write(m_line.master(), bytes.constData() + done, std::size_t(bytes.size() - done));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        done += count;
    }
    return done;
}

void Simulator::flood() {
    m_floodOwed += double(m_options.floodPerSecond) * double(kFloodTick.count()) / 1000.0;
    const auto count = qsizetype(m_floodOwed);
    m_floodOwed -= double(count);
    if (count > 0)
        send(m_shaper.randomBytes(count));
}

void Simulator::hangUp(const QString& why) {
    if (!m_line.isOpen())
        return;
    m_reader.reset();
    m_writeTimer.stop();
    m_floodTimer.stop();
    m_hangUpTimer.stop();
    m_pending.clear();
    m_line.close();
    printLine(stamped(why));
}

} // namespace kavo::sim
