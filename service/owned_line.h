#pragma once

// The projector's line as the service owns it: a port that resolves its
// device again at every open (a port folder entry may point elsewhere by
// now), and after a failed open or a lost line opens again by itself after
// a growing pause: 1 s, 2 s, 4 s ... at most 30 s, each try in the journal.
// It never waits for a device or a connection: the event loop goes on
// serving clients while a network line is being connected.

#include "journal.h"
#include "port_factory.h"
#include "serial_port.h"
#include "timer.h"

#include <chrono>
#include <functional>
#include <memory>
#include <QDateTime>
#include <vector>

namespace kavo::service {

inline constexpr std::chrono::seconds kFirstRetry{1};
inline constexpr std::chrono::seconds kLongestRetry{30};

class OwnedLine final : public SerialPort {
  public:
    // The line is `device` (a path, socket://HOST:PORT or unix:PATH) when
    // given, else port `number` as the panel resolves it. A port whose line
    // came from a port folder entry keeps waiting for that entry when it is
    // gone for a while, rather than open the device that stands for the port
    // without one (/dev/ttyS<n-1> opens on most PCs, with no projector on it).
    OwnedLine(PortFactory& factory, QString device, int number, TimerFactory& timers,
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
    void write(const QByteArray& bytes) override;
    QByteArray readAll() override;

    std::chrono::seconds nextPause() const { return m_pause; }
    // Since when the line is down and why, in words; invalid while it is open.
    QDateTime downSince() const { return m_downSince; }
    QString downReason() const { return m_downReason; }
    // Told when the line opens (true) and when it is lost (false).
    void addOpenObserver(std::function<void(bool open)> changed) {
        m_openObservers.push_back(std::move(changed));
    }

  private:
    // The device to open now and why it is that one, or why none is.
    struct Choice {
        QString device;
        QString why;     // "through the port folder entry COM3"
        QString problem; // no device to open now
    };
    Choice choose();
    // Opens the line; `done` is told the outcome, possibly before it returns.
    void openLine(std::function<void(const OpenResult&)> done);
    void tryOpen();
    void opened(const OpenResult& result);
    void retryLater();
    void wentDown(const QString& reason);

    PortFactory& m_factory;
    QString m_device;
    Journal& m_journal;
    QString m_who;
    std::unique_ptr<Timer> m_retry;
    std::unique_ptr<SerialPort> m_port;
    std::function<void()> m_opened;
    std::vector<std::function<void(bool)>> m_openObservers;
    QString m_settings = QStringLiteral("19200,N,8,1");
    QString m_deviceName;
    int m_number = 1;
    QString m_entryTarget; // what the port folder entry stood for when last opened
    QString m_why;
    QDateTime m_downSince;
    QString m_downReason;
    std::chrono::seconds m_pause = kFirstRetry;
    bool m_stopped = false;
    bool m_opening = false;
};

} // namespace kavo::service
