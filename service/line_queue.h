#pragma once

// The projector's commands from every front end, one exchange at a time, in
// the order they arrived: the one queue of the service. Each reply goes only
// to the command it answers. A raw line's client (Policy::Line) ends its own
// running exchange with its next command, as on a direct line (unless it
// comes faster than a held button repeats); a front end that speaks for its
// peers (Policy::Requests: PJLink, MQTT) never cuts its own commands. Anyone
// else's command waits its turn, at most the queue wait, and is dropped after
// that. The service's own status reads
// (polls) go only when no client has a command waiting, and only after a gap
// behind the last exchange.
//
// Memory is bounded: a client has at most kMaxQueuedPerClient commands
// waiting (more are dropped, counted, and said in the journal once), and a
// reply is at most the receive buffer's capacity.

#include "exchanger.h"
#include "journal.h"
#include "projector_state.h"
#include "timer.h"

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <QString>
#include <vector>

namespace kavo::service {

inline constexpr int kMaxQueuedPerClient = 32;
// A client's command ends its own running exchange only this long after its
// last one did: a held button's repeats do, a burst of commands queues.
inline constexpr std::chrono::milliseconds kFastestRepeat{50};
inline constexpr std::chrono::seconds kBusyPollInterval{2};

using ClientId = quint64;

struct QueueSettings {
    std::chrono::milliseconds replyWindow{1000};
    std::chrono::milliseconds queueWait{3000};
    std::chrono::seconds pollStatus{30};
    std::chrono::seconds pollOther{300};
    std::chrono::milliseconds gap{20};
};

enum class Policy {
    Line,     // its next command ends its own running exchange
    Requests, // its commands wait their turn one after the other
};

class LineQueue {
  public:
    // The end of a command: its exchange, or nullptr when the command was
    // dropped or not sent (the line down).
    using Deliver = std::function<void(const Exchange* exchange)>;
    // Told of every exchange that ended, once the state is updated and before
    // its client hears of it: who caused it ("poll" for the service's own),
    // and how long it took on the line.
    using Observer = std::function<void(const QString& who, const Exchange& exchange,
                                        std::chrono::milliseconds took)>;

    LineQueue(SerialPort& line, TimerFactory& timers, Journal& journal, ProjectorState& state,
              QueueSettings settings);
    ~LineQueue();

    // A client came (its id, never 0 and never used again) or went. A client
    // that goes away mid-exchange leaves the exchange to end as it would;
    // its commands are then told nothing more.
    ClientId addClient(QString who, Policy policy);
    void removeClient(ClientId client);

    // One command of a client, its text without the CR; `done` is told how
    // it ended, possibly before submit returns.
    void submit(ClientId client, const QString& command, Deliver done);

    // The line has just been opened: every reading is due now.
    void lineOpened();
    bool lineOpen() const { return m_line.isOpen(); }
    // How old a reading may be to count as current: the status read's poll
    // interval for the power state, the others' for the rest.
    std::chrono::milliseconds freshFor(StateField field) const;

    void addObserver(Observer observer) { m_observers.push_back(std::move(observer)); }
    // Told when a client came or went.
    void addClientsObserver(std::function<void()> observer) {
        m_clientsObservers.push_back(std::move(observer));
    }
    // Who is connected, in the order they came.
    QStringList clients() const;

    std::size_t waiting() const { return m_queue.size(); }
    const ProjectorState& state() const { return m_state; }

  private:
    struct Waiting {
        ClientId client;
        QString command;
        Deliver done;
        std::chrono::milliseconds since; // on the timers' clock
    };
    struct Client {
        QString who;
        Policy policy = Policy::Line;
        int queued = 0;
        int dropped = 0; // since the last time the queue was full
        std::optional<std::chrono::milliseconds> lastCut;
    };
    static constexpr ClientId kPoll = 0;

    void pump();
    void start(ClientId client, const QString& command, Deliver done);
    void ended(const Exchange& exchange);
    void pollDue();
    void scheduleStatusPoll();
    QString whoOf(ClientId client) const;

    SerialPort& m_line;
    TimerFactory& m_timers;
    Journal& m_journal;
    ProjectorState& m_state;
    QueueSettings m_settings;
    Exchanger m_exchanger;
    std::unique_ptr<Timer> m_gap;
    std::unique_ptr<Timer> m_statusPoll;
    std::unique_ptr<Timer> m_otherPoll;
    std::map<ClientId, Client> m_clients;
    std::deque<Waiting> m_queue;
    QStringList m_polls; // status reads due
    ClientId m_running = kPoll;
    Deliver m_runningDone;
    ClientId m_nextClient = 1;
    ClientId m_lastClient = kPoll; // whose exchange ended last
    QString m_runningWho;
    bool m_busy = false;
    std::optional<std::chrono::milliseconds> m_lastEnd; // when the last exchange ended
    std::vector<Observer> m_observers;
    std::vector<std::function<void()>> m_clientsObservers;
    std::chrono::milliseconds m_startedAt{0}; // the running exchange's, on the timers' clock
};

} // namespace kavo::service
