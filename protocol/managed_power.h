#pragma once

// Power on or off as an operator means it rather than as one command: a
// power-on while the projector cools down waits until it is in standby, a
// power-off while it warms up waits until it is on (the projector would
// ignore the command, or restart); then the command, then status reads
// until the state is reached, the projector reports a fault, or the time
// limit passes. Each step goes through `send`, whatever carries it: a port
// of kavoctl's own, or the service's queue.

#include "exchanger.h"
#include "projector_state.h"
#include "projector_vocabulary.h"
#include "timer.h"

#include <chrono>
#include <functional>
#include <memory>
#include <QString>

namespace kavo {

// How often the power state is read while the projector gets there.
inline constexpr std::chrono::seconds kPowerPoll{2};

class ManagedPower {
  public:
    // Sends one command (without its CR) and tells how it ended: the
    // exchange, or nullptr when it went nowhere (dropped, the line down).
    using Ended = std::function<void(const Exchange* exchange)>;
    using Send = std::function<void(const QString& command, Ended ended)>;
    struct Outcome {
        bool reached = false;
        PowerState last = PowerState::Unknown; // what the last status read said
        QString words; // "in standby", "still cooling down after 120 s", ...
    };
    using Done = std::function<void(const Outcome& outcome)>;
    // Told once when the power command has to wait for a change to pass.
    using Waiting = std::function<void(PowerState state)>;

    ManagedPower(Send send, TimerFactory& timers);
    ~ManagedPower();
    ManagedPower(const ManagedPower&) = delete;
    ManagedPower& operator=(const ManagedPower&) = delete;

    // A power command still running is given up for this one, without its
    // done being told.
    void start(bool on, std::chrono::milliseconds limit, Done done, Waiting waiting = {});
    void cancel();
    bool running() const { return static_cast<bool>(m_done); }

  private:
    void read();
    void readEnded(const Exchange* exchange);
    void sendCommand();
    void finish(bool reached, const QString& words);

    Send m_send;
    std::unique_ptr<Timer> m_poll;
    std::unique_ptr<Timer> m_limit;
    std::chrono::milliseconds m_limitLength{0};
    bool m_on = false;
    bool m_commandSent = false;
    bool m_toldWaiting = false;
    PowerState m_last = PowerState::Unknown;
    Done m_done;
    Waiting m_waiting;
    // Each start's callbacks carry its number: a late end of a run given up
    // is not taken for the next run's.
    quint64 m_run = 0;
};

} // namespace kavo
