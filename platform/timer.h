#pragma once

// A repeating timer with an interval and an enabled flag, ticking on the GUI
// thread. Enabling a running timer, or changing the interval of a running one,
// restarts its countdown: every implementation behaves the same way.

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
        if (m_tick)
            m_tick();
    }

private:
    TickHandler m_tick;
};

class TimerFactory {
public:
    virtual ~TimerFactory() = default;
    // A new timer, disabled.
    virtual std::unique_ptr<Timer> createTimer() = 0;
};

} // namespace kavo
