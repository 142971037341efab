#pragma once

// The projector's line as the service owns it: a port that resolves its
// device again at every open (a port folder entry may point elsewhere by
// now), and after a failed open or a lost line opens again by itself after
// a growing pause: 1 s, 2 s, 4 s ... at most 30 s, each try in the journal.
// It never waits for a device: the event loop goes on serving clients.

#include "journal.h"
#include "port_factory.h"
#include "serial_port.h"
#include "timer.h"

#include <chrono>
#include <functional>
#include <memory>

namespace kavo::service {

inline constexpr std::chrono::seconds kFirstRetry{1};
inline constexpr std::chrono::seconds kLongestRetry{30};

class OwnedLine final : public SerialPort {
  public:
    // `device` names the line at every open (a path, socket://, unix:, or a
    // port folder entry for a port number).
    OwnedLine(PortFactory& factory, std::function<QString()> device, TimerFactory& timers,
              Journal& journal, QString who);
    ~OwnedLine() override;

    // Opens now; when that fails, again later. `opened` is told of every open.
    void start(std::function<void()> opened);

    void setSettings(const QString& settings) override { m_settings = settings; }
    QString settings() const override { return m_settings; }
    void setPortNumber(int number) override { m_number = number; }
    int portNumber() const override { return m_number; }
    OpenResult open() override;
    QString deviceName() const override { return m_deviceName; }
    void close() override;
    bool isOpen() const override { return m_port && m_port->isOpen(); }
    void write(const QString& text) override;
    QString readAll() override;

    std::chrono::seconds nextPause() const { return m_pause; }
    // Told when the line opens (true) and when it is lost (false).
    void setOpenChanged(std::function<void(bool open)> changed) {
        m_openChanged = std::move(changed);
    }

  private:
    void tryOpen();
    void retryLater();

    PortFactory& m_factory;
    std::function<QString()> m_device;
    Journal& m_journal;
    QString m_who;
    std::unique_ptr<Timer> m_retry;
    std::unique_ptr<SerialPort> m_port;
    std::function<void()> m_opened;
    std::function<void(bool)> m_openChanged;
    QString m_settings = QStringLiteral("19200,N,8,1");
    QString m_deviceName;
    int m_number = 1;
    std::chrono::seconds m_pause = kFirstRetry;
    bool m_stopped = false;
};

} // namespace kavo::service
