#pragma once

// A repeating timer with an interval and an enabled flag, ticking on the GUI
// thread. Enabling a running timer, or changing the interval of a running one,
// restarts its countdown: every implementation behaves the same way. A tick
// restarts the countdown at the moment it was due, so a handler enabling its
// own timer again keeps that phase: the handler's run time is not added to
// every period.

#include <chrono>
#include <functional>
#include <memory>

namespace kavo {

class Timer {
  public:
    using TickHandler = std::function<void()>;

    virtual ~Timer() = default;

    virtual void setInterval(std::chrono::milliseconds interval) = 0;
    virtual std::chrono::milliseconds interval() const = 0;
    virtual void setEnabled(bool enabled) = 0;
    virtual bool isEnabled() const = 0;

    void setTickHandler(TickHandler handler) { m_tick = std::move(handler); }

  protected:
    void tick() {
        m_ticking = true;
        if (m_tick)
            m_tick();
        m_ticking = false;
    }
    // True while the tick handler runs.
    bool ticking() const { return m_ticking; }

  private:
    TickHandler m_tick;
    bool m_ticking = false;
};

class TimerFactory {
  public:
    virtual ~TimerFactory() = default;
    // A new timer, disabled.
    virtual std::unique_ptr<Timer> createTimer() = 0;
    // The time on the timers' clock, from some fixed start: never goes back.
    virtual std::chrono::milliseconds now() const = 0;
};

} // namespace kavo
