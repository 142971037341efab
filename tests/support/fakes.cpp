#include "fakes.h"

#include <algorithm>

namespace kavo::test {

FakeTimer::FakeTimer(FakeClock& clock, int order) : m_clock(clock), m_order(order) {
    m_clock.m_timers.push_back(this);
}

FakeTimer::~FakeTimer() {
    std::erase(m_clock.m_timers, this);
}

void FakeTimer::setInterval(milliseconds interval) {
    m_interval = interval;
    if (m_enabled)
        restart();
}

void FakeTimer::setEnabled(bool enabled) {
    m_enabled = enabled;
    if (enabled)
        restart();
}

void FakeTimer::restart() {
    m_deadline = m_clock.m_now + m_interval;
}

std::unique_ptr<Timer> FakeClock::createTimer() {
    return std::make_unique<FakeTimer>(*this, m_created++);
}

void FakeClock::advance(milliseconds by) {
    const milliseconds target = m_now + by;
    for (;;) {
        FakeTimer* next = nullptr;
        for (FakeTimer* timer : m_timers) {
            // An interval of 0 never ticks, as with a disabled timer.
            if (!timer->m_enabled || timer->m_interval <= milliseconds{0} ||
                timer->m_deadline > target)
                continue;
            if (!next || timer->m_deadline < next->m_deadline ||
                (timer->m_deadline == next->m_deadline && timer->m_order < next->m_order))
                next = timer;
        }
        if (!next)
            break;
        m_now = next->m_deadline;
        next->m_deadline = m_now + next->m_interval;
        next->tick();
    }
    m_now = target;
}

OpenResult FakeSerialPort::open() {
    ++openAttempts;
    if (failOpen || m_open)
        return {false, failReason};
    m_open = true;
    openedAt << QStringLiteral("%1@%2").arg(m_number).arg(m_settings);
    return {true, {}};
}

void FakeSerialPort::write(const QByteArray& bytes) {
    if (!m_open)
        return;
    written += bytes;
    if (onWrite)
        onWrite();
}

QByteArray FakeSerialPort::readAll() {
    return std::exchange(m_incoming, {});
}

void FakeSerialPort::receive(const QString& text) {
    m_incoming += text.toLatin1();
    raise(CommEvent::Receive);
}

void FakeSerialPort::loseLine() {
    m_open = false;
    raise(CommEvent::LineLost);
}

QByteArray FakeSerialPort::takeWritten() {
    QByteArray out;
    out.swap(written);
    return out;
}

namespace {
QString storeKey(const QString& application, const QString& section, const QString& key) {
    return application + QLatin1Char('/') + section + QLatin1Char('/') + key;
}
} // namespace

QString FakeSettingsStore::read(const QString& application, const QString& section,
                                const QString& key, const QString& defaultText) const {
    return m_values.value(storeKey(application, section, key), defaultText);
}

QString FakeSettingsStore::write(const QString& application, const QString& section,
                                 const QString& key, const QString& text) {
    ++writes;
    if (!failWrites.isEmpty())
        return failWrites;
    m_values.insert(storeKey(application, section, key), text);
    return {};
}

void FakeSettingsStore::setStartUp(const QString& comPort, const QString& baudRate) {
    const auto put = [this](const QString& key, const QString& text) {
        const QString full = storeKey(QStringLiteral("KAVO"), QStringLiteral("StartUP"), key);
        if (text.isNull())
            m_values.remove(full);
        else
            m_values.insert(full, text);
    };
    put(QStringLiteral("ComPort"), comPort);
    put(QStringLiteral("BaudRate"), baudRate);
}

QString FakeSettingsStore::value(const QString& key) const {
    return m_values.value(storeKey(QStringLiteral("KAVO"), QStringLiteral("StartUP"), key));
}

} // namespace kavo::test
