#include "exchanger.h"

#include "line_constants.h"
#include "line_settings.h"
#include "status_decoders.h"
#include "trace.h"

#include <utility>

namespace kavo {
namespace {

ReplyKind kindOf(const Exchange& exchange, bool ended, bool overflow) {
    if (exchange.reply.isEmpty())
        return ReplyKind::NoReply;
    if (exchange.reply == QStringLiteral("?") + kCr)
        return ReplyKind::Refused;
    if (overflow)
        return ReplyKind::Overflow;
    if (!ended)
        return ReplyKind::Unfinished;
    if (!exchange.statusRead)
        return ReplyKind::Answered;
    const std::optional<qsizetype> length = statusReplyLength(exchange.command + kCr);
    if (!exchange.status || (length && *length != exchange.reply.size()))
        return ReplyKind::Undecoded;
    return ReplyKind::Answered;
}

} // namespace

bool endedProperly(ReplyKind kind) {
    return kind == ReplyKind::Answered || kind == ReplyKind::Refused ||
           kind == ReplyKind::Undecoded;
}

Exchanger::Exchanger(SerialPort& port, TimerFactory& timers, std::chrono::milliseconds replyWindow)
    : m_port(port), m_window(timers.createTimer()), m_quiet(timers.createTimer()),
      m_settleLimit(timers.createTimer()) {
    m_window->setInterval(replyWindow);
    m_window->setTickHandler([this] {
        if (m_done && !m_settling)
            finish();
    });
    m_quiet->setInterval(kSettleTime);
    m_settleLimit->setInterval(kSettleLimit);
    m_quiet->setTickHandler([this] { send(); });
    m_settleLimit->setTickHandler([this] { send(); });
    m_port.setEventHandler([this](CommEvent event) { onComm(event); });
}

Exchanger::~Exchanger() {
    m_port.setEventHandler({});
}

void Exchanger::exchange(const QString& command, Done done, bool cutsOwn) {
    m_done = std::move(done);
    // Whatever is still waiting belongs to an earlier reply, not to this one.
    if (const QString stale = QString::fromLatin1(m_port.readAll()); m_stray && !stale.isEmpty())
        m_stray(stale, true);
    m_line = commandLine(command);
    m_buffer.clear();
    m_overflow = false;
    const bool afterCut = std::exchange(m_cutUnsettled, false) && !cutsOwn;
    if (!std::exchange(m_settleNext, false) && !afterCut) {
        send();
        return;
    }
    m_settling = true;
    m_quiet->setEnabled(true);
    m_settleLimit->setEnabled(true);
}

void Exchanger::send() {
    m_settling = false;
    m_quiet->setEnabled(false);
    m_settleLimit->setEnabled(false);
    m_port.write(m_line.toLatin1());
    m_window->setEnabled(true);
}

void Exchanger::onComm(CommEvent event) {
    if (event == CommEvent::LineLost) {
        if (m_done)
            finish(Ending::LineLost);
        return;
    }
    // The line's bytes as the panel's text, one character a byte.
    const QString input = QString::fromLatin1(m_port.readAll());
    if (m_settling || !m_done) {
        if (m_stray && !input.isEmpty())
            m_stray(input, m_settling || m_settleNext || m_cutUnsettled);
    }
    if (m_settling) {
        // The rest of an earlier reply: dropped, and the line is not quiet yet.
        m_quiet->setEnabled(false);
        m_quiet->setEnabled(true);
        return;
    }
    if (!m_done)
        return; // between exchanges: dropped, like a reply after its window
    // The panel's receive buffer: what does not fit is dropped.
    m_buffer.append(
        QStringView(input).first(std::min(input.size(), kRxBufCapacity - m_buffer.size())));
    const qsizetype cr = m_buffer.indexOf(kCr);
    if (cr >= 0) {
        m_buffer.truncate(cr + 1);
        finish();
    } else if (m_buffer == kAck) {
        finish();
    } else if (m_buffer.size() >= kRxBufCapacity) {
        m_overflow = true;
        finish();
    }
}

void Exchanger::endNow() {
    if (m_done)
        finish(Ending::Cut);
}

void Exchanger::finish(Ending ending) {
    // A command cut while the line was settling never went out: the next one
    // still waits for the quiet line.
    const bool settleNext = ending == Ending::Cut && m_settling;
    m_window->setEnabled(false);
    m_quiet->setEnabled(false);
    m_settleLimit->setEnabled(false);
    m_settling = false;
    Exchange exchange;
    exchange.command = m_line.chopped(1);
    exchange.reply = m_buffer;
    exchange.sentTrace = renderTrace(m_line).text;
    exchange.replyTrace = m_buffer.isEmpty() ? kNoReplyMarker : renderTrace(m_buffer).text;
    exchange.statusRead = isStatusRead(m_line);
    if (!m_buffer.isEmpty())
        exchange.status = decodeStatus(m_line, exchange.replyTrace, m_buffer.size());
    const bool ended = m_buffer.endsWith(kCr) || m_buffer == kAck;
    exchange.kind =
        ending == Ending::LineLost ? ReplyKind::LineLost : kindOf(exchange, ended, m_overflow);
    // Only a whole reply is decoded: "00" and a line feed is no "Power ON".
    if (exchange.kind != ReplyKind::Answered)
        exchange.status.reset();
    m_settleNext = ending == Ending::Cut ? settleNext : !endedProperly(exchange.kind);
    m_cutUnsettled = ending == Ending::Cut && !settleNext && !endedProperly(exchange.kind);
    m_buffer.clear();
    // The callback may start the next exchange, which sets a new one.
    const Done done = std::exchange(m_done, nullptr);
    done(exchange);
}

} // namespace kavo
