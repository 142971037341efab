#include "line_queue.h"

#include "button_map.h"
#include "line_settings.h"
#include "projector_vocabulary.h"
#include "status_decoders.h"
#include "trace.h"

#include <QHash>

namespace kavo::service {
namespace {

// The seven status reads of the panel's buttons, the status read first.
QStringList statusReads() {
    QStringList reads;
    for (const panel::ButtonEntry& button : panel::buttons()) {
        const QString command = QString::fromLatin1(button.command);
        if (isStatusRead(commandLine(command)))
            reads.append(command);
    }
    reads.removeAll(QStringLiteral("CR0"));
    reads.prepend(QStringLiteral("CR0"));
    return reads;
}

const QStringList& allReads() {
    static const QStringList reads = statusReads();
    return reads;
}

// The status read that confirms a one-command action other than power
// (which the status read after every command covers), by its command.
QString confirmingRead(const QString& command) {
    static const QHash<QString, QString> reads = [] {
        QHash<QString, QString> table;
        for (const Action& action : actions()) {
            if (action.confirmedBy && action.confirmedBy != StateField::Power &&
                action.commands.size() == 1)
                table.insert(action.commands.constFirst(), readCommand(*action.confirmedBy));
        }
        return table;
    }();
    return reads.value(command);
}

QString quoted(const QString& command) {
    return QLatin1Char('"') + renderTrace(command).text.trimmed() + QLatin1Char('"');
}

} // namespace

LineQueue::LineQueue(SerialPort& line, TimerFactory& timers, Journal& journal,
                     ProjectorState& state, QueueSettings settings)
    : m_line(line), m_timers(timers), m_journal(journal), m_state(state), m_settings(settings),
      m_exchanger(line, timers, settings.replyWindow), m_gap(timers.createTimer()),
      m_statusPoll(timers.createTimer()), m_otherPoll(timers.createTimer()) {
    m_gap->setTickHandler([this] {
        m_gap->setEnabled(false);
        pump();
    });
    m_statusPoll->setTickHandler([this] {
        if (!m_polls.contains(allReads().constFirst()))
            m_polls.push_front(allReads().constFirst());
        pump();
    });
    m_otherPoll->setInterval(m_settings.pollOther);
    m_otherPoll->setTickHandler([this] {
        for (const QString& read : allReads().mid(1)) {
            if (!m_polls.contains(read))
                m_polls.push_back(read);
        }
        pump();
    });
    m_exchanger.setStrayHandler([this](const QString& received, bool late) {
        const QString shown = renderTrace(received.left(64)).text;
        if (late)
            m_journal.complain(u"line",
                               QStringLiteral("dropped a late reply, not taken for the next "
                                              "command's: RxD:%1")
                                   .arg(shown),
                               u"late reply");
        else
            m_journal.complain(
                u"line",
                QStringLiteral("dropped what the projector sent unasked: RxD:%1").arg(shown),
                u"unasked");
    });
}

LineQueue::~LineQueue() = default;

ClientId LineQueue::addClient(QString who, Policy policy) {
    const ClientId client = m_nextClient++;
    m_clients[client] = Client{std::move(who), policy};
    for (const auto& observer : m_clientsObservers)
        observer();
    return client;
}

void LineQueue::removeClient(ClientId client) {
    if (m_clients.erase(client) == 0)
        return;
    std::erase_if(m_queue, [client](const Waiting& waiting) { return waiting.client == client; });
    for (const auto& observer : m_clientsObservers)
        observer();
}

QStringList LineQueue::clients() const {
    QStringList who;
    for (const auto& [id, client] : m_clients)
        who.append(client.who);
    return who;
}

QString LineQueue::whoOf(ClientId client) const {
    if (client == kPoll)
        return QStringLiteral("poll");
    const auto found = m_clients.find(client);
    return found == m_clients.end() ? QString() : found->second.who;
}

void LineQueue::submit(ClientId client, const QString& command, Deliver done) {
    const auto found = m_clients.find(client);
    if (found == m_clients.end())
        return;
    Client& sender = found->second;
    if (sender.queued >= kMaxQueuedPerClient) {
        if (sender.dropped++ == 0)
            m_journal.complain(
                sender.who,
                QStringLiteral("dropped %1 and what follows: %2 commands are waiting "
                               "already")
                    .arg(quoted(command))
                    .arg(kMaxQueuedPerClient),
                u"queue full");
        done(nullptr);
        return;
    }
    if (sender.dropped > 0) {
        m_journal.complain(
            sender.who,
            QStringLiteral("%1 commands were dropped while its queue was full").arg(sender.dropped),
            u"queue full");
        sender.dropped = 0;
    }
    m_queue.push_back(Waiting{client, command, std::move(done), m_timers.now()});
    ++sender.queued;
    if (m_busy && m_running == client && sender.policy == Policy::Line &&
        (!sender.lastCut || m_timers.now() - *sender.lastCut > kFastestRepeat)) {
        sender.lastCut = m_timers.now();
        m_exchanger.endNow(); // its end starts the next
        return;
    }
    pump();
}

void LineQueue::lineOpened() {
    m_polls = allReads();
    scheduleStatusPoll();
    m_otherPoll->setEnabled(true);
    pump();
}

void LineQueue::scheduleStatusPoll() {
    const std::chrono::milliseconds interval =
        isChanging(m_state.power()) ? std::chrono::milliseconds(kBusyPollInterval)
                                    : std::chrono::milliseconds(m_settings.pollStatus);
    if (m_statusPoll->interval() != interval || !m_statusPoll->isEnabled()) {
        m_statusPoll->setInterval(interval);
        m_statusPoll->setEnabled(true);
    }
}

std::chrono::milliseconds LineQueue::freshFor(StateField field) const {
    if (field != StateField::Power)
        return m_settings.pollOther;
    return isChanging(m_state.power()) ? std::chrono::milliseconds(kBusyPollInterval)
                                       : std::chrono::milliseconds(m_settings.pollStatus);
}

void LineQueue::pump() {
    if (m_busy)
        return;
    while (!m_queue.empty()) {
        Waiting waiting = std::move(m_queue.front());
        m_queue.pop_front();
        const auto found = m_clients.find(waiting.client);
        if (found == m_clients.end())
            continue;
        --found->second.queued;
        QString dropped;
        QStringView kind;
        if (const auto waited = m_timers.now() - waiting.since; waited > m_settings.queueWait) {
            dropped = QStringLiteral("dropped %1: it waited %2 ms behind other exchanges")
                          .arg(quoted(waiting.command))
                          .arg(waited.count());
            kind = u"waited too long";
        } else if (!m_line.isOpen()) {
            dropped = QStringLiteral("not sent %1: the line is down").arg(quoted(waiting.command));
            kind = u"not sent: the line is down";
        }
        if (!dropped.isEmpty()) {
            m_journal.complain(found->second.who, dropped, kind);
            // Its client hears that it went nowhere, and may send again at once.
            waiting.done(nullptr);
            if (m_busy)
                return;
            continue;
        }
        start(waiting.client, waiting.command, std::move(waiting.done));
        return;
    }
    if (m_polls.empty() || !m_line.isOpen())
        return;
    // A poll keeps its gap behind the last exchange; the timer runs only then.
    // The clock is read once: read twice, the pause could come out negative,
    // and a timer refuses that, leaving the poll to wait for the next one.
    const std::chrono::milliseconds since =
        m_lastEnd ? m_timers.now() - *m_lastEnd : m_settings.gap;
    if (since < m_settings.gap) {
        m_gap->setInterval(m_settings.gap - since);
        m_gap->setEnabled(true);
        return;
    }
    const QString read = m_polls.front();
    m_polls.removeFirst();
    start(kPoll, read, {});
}

void LineQueue::start(ClientId client, const QString& command, Deliver done) {
    m_busy = true;
    m_running = client;
    m_runningDone = std::move(done);
    m_runningWho = whoOf(client);
    m_startedAt = m_timers.now();
    m_gap->setEnabled(false);
    // A client's command that cut its own running exchange goes at once;
    // anyone else's waits until what the projector still sends for it is over.
    m_exchanger.exchange(
        command, [this](const Exchange& exchange) { ended(exchange); },
        client != kPoll && client == m_lastClient);
}

void LineQueue::ended(const Exchange& exchange) {
    m_busy = false;
    m_lastEnd = m_timers.now();
    const ClientId client = std::exchange(m_running, kPoll);
    const Deliver done = std::exchange(m_runningDone, {});
    m_lastClient = client;
    const QString who = std::exchange(m_runningWho, {});
    // A client gone meanwhile gets nothing; the exchange is still recorded. The
    // service's own reads are recorded when they change what is known or fail:
    // a poll every 30 s that says the same would bury the history.
    const std::optional<StateField> changed =
        m_state.update(exchange, QDateTime::currentDateTimeUtc());
    if (client != kPoll || changed || exchange.kind != ReplyKind::Answered)
        m_journal.exchange(who, exchange);
    if (changed == StateField::Power) {
        scheduleStatusPoll();
        // The lamp goes on and off with the power: its readings are read again.
        for (const StateField field : {StateField::LampStatus, StateField::LampHours}) {
            if (!m_polls.contains(readCommand(field)))
                m_polls.push_back(readCommand(field));
        }
    }
    if (!exchange.statusRead && endedProperly(exchange.kind)) {
        // A command may have changed anything: nothing read before it is
        // current any more, and the status is read again soon.
        m_state.markStale();
        if (!m_polls.contains(allReads().constFirst()))
            m_polls.push_front(allReads().constFirst());
        // And the reading that shows whether an action took effect (the input
        // after an input's button, the lamp mode after a lamp mode's).
        if (const QString read = confirmingRead(exchange.command);
            !read.isEmpty() && !m_polls.contains(read))
            m_polls.push_back(read);
    }
    // Observers first: a client's next request may depend on what they keep.
    const std::chrono::milliseconds took = m_timers.now() - m_startedAt;
    for (const Observer& observer : m_observers)
        observer(who, exchange, took);
    if (client != kPoll && m_clients.contains(client) && done)
        done(&exchange);
    pump();
}

} // namespace kavo::service
