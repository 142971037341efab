#include "managed_power.h"

#include "exchange_report.h"

namespace kavo {

ManagedPower::ManagedPower(Send send, TimerFactory& timers)
    : m_send(std::move(send)), m_poll(timers.createTimer()), m_limit(timers.createTimer()) {
    m_poll->setInterval(kPowerPoll);
    m_poll->setTickHandler([this] {
        m_poll->setEnabled(false);
        read();
    });
    m_limit->setTickHandler([this] {
        const auto seconds =
            std::chrono::duration_cast<std::chrono::seconds>(m_limitLength).count();
        finish(false,
               m_last == PowerState::Unknown
                   ? QStringLiteral("no power state read within %1 s").arg(seconds)
                   : QStringLiteral("still %1 after %2 s").arg(powerInWords(m_last)).arg(seconds));
    });
}

ManagedPower::~ManagedPower() = default;

void ManagedPower::start(bool on, std::chrono::milliseconds limit, Done done, Waiting waiting) {
    cancel();
    ++m_run;
    m_on = on;
    m_commandSent = false;
    m_toldWaiting = false;
    m_last = PowerState::Unknown;
    m_done = std::move(done);
    m_waiting = std::move(waiting);
    m_limitLength = limit;
    m_limit->setInterval(limit);
    m_limit->setEnabled(true);
    read();
}

void ManagedPower::cancel() {
    m_poll->setEnabled(false);
    m_limit->setEnabled(false);
    m_done = nullptr;
    m_waiting = nullptr;
}

void ManagedPower::read() {
    const quint64 run = m_run;
    m_send(readCommand(StateField::Power), [this, run](const Exchange* exchange) {
        if (run == m_run && m_done)
            readEnded(exchange);
    });
}

void ManagedPower::readEnded(const Exchange* exchange) {
    if (!exchange || exchange->kind != ReplyKind::Answered) {
        finish(false,
               exchange ? QStringLiteral("the status read got %1").arg(outcomeWord(exchange->kind))
                        : QStringLiteral("the status read was not sent"));
        return;
    }
    ProjectorState state;
    state.update(*exchange, QDateTime::currentDateTimeUtc());
    m_last = state.power();
    const PowerState target = m_on ? PowerState::On : PowerState::Standby;
    const PowerState away = m_on ? PowerState::CoolingDown : PowerState::WarmingUp;
    const PowerState toward = m_on ? PowerState::WarmingUp : PowerState::CoolingDown;
    if (m_last == target) {
        finish(true, powerInWords(m_last));
        return;
    }
    if (isFault(m_last)) {
        finish(false, QStringLiteral("the projector is %1").arg(powerInWords(m_last)));
        return;
    }
    if (m_last == away && !m_toldWaiting) {
        m_toldWaiting = true;
        if (m_waiting)
            m_waiting(m_last);
    }
    // Waiting for a change to pass, on the way already, or told already:
    // read again in a while.
    if (m_last == away || m_last == toward || m_commandSent) {
        m_poll->setEnabled(true);
        return;
    }
    sendCommand();
}

void ManagedPower::sendCommand() {
    const Action* action = findAction(m_on ? u"power on" : u"power off");
    const QString command = action->commands.constFirst();
    const quint64 run = m_run;
    m_send(command, [this, run, command](const Exchange* exchange) {
        if (run != m_run || !m_done)
            return;
        if (!exchange || exchange->kind != ReplyKind::Answered) {
            finish(false,
                   exchange
                       ? QStringLiteral("\"%1\" got %2").arg(command, outcomeWord(exchange->kind))
                       : QStringLiteral("\"%1\" was not sent").arg(command));
            return;
        }
        m_commandSent = true;
        read();
    });
}

void ManagedPower::finish(bool reached, const QString& words) {
    const Done done = std::exchange(m_done, nullptr);
    m_poll->setEnabled(false);
    m_limit->setEnabled(false);
    m_waiting = nullptr;
    if (done)
        done({reached, m_last, words});
}

} // namespace kavo
