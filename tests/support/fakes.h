#pragma once

// Deterministic test doubles for the platform interfaces.

#include "message_box.h"
#include "mqtt_link.h"
#include "serial_port.h"
#include "settings_store.h"
#include "timer.h"

#include <chrono>
#include <functional>
#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <vector>

namespace kavo::test {

using std::chrono::milliseconds;

class FakeClock;

class FakeTimer final : public Timer {
  public:
    FakeTimer(FakeClock& clock, int order);
    ~FakeTimer() override;
    void setInterval(milliseconds interval) override;
    milliseconds interval() const override { return m_interval; }
    void setEnabled(bool enabled) override;
    bool isEnabled() const override { return m_enabled; }

  private:
    friend class FakeClock;
    void restart();

    FakeClock& m_clock;
    int m_order;
    milliseconds m_interval{0};
    milliseconds m_deadline{0};
    bool m_enabled = false;
};

// Virtual time: timers fire only when the test advances the clock, in
// deadline order (creation order on ties), each rearming itself like a
// repeating timer.
class FakeClock final : public TimerFactory {
  public:
    std::unique_ptr<Timer> createTimer() override;
    void advance(milliseconds by);
    milliseconds now() const override { return m_now; }
    int liveTimers() const { return static_cast<int>(m_timers.size()); }

  private:
    friend class FakeTimer;
    std::vector<FakeTimer*> m_timers;
    milliseconds m_now{0};
    int m_created = 0;
};

class FakeSerialPort final : public SerialPort {
  public:
    void setSettings(const QString& settings) override { m_settings = settings; }
    QString settings() const override { return m_settings; }
    void setPortNumber(int number) override { m_number = number; }
    int portNumber() const override { return m_number; }
    OpenResult open() override;
    QString deviceName() const override { return device; }
    QString farEndReason() const override { return farEnd; }
    void close() override { m_open = false; }
    bool isOpen() const override { return m_open; }
    void write(const QByteArray& bytes) override;
    QByteArray readAll() override;

    // Test side: what reached the line, and replies arriving in batches.
    void receive(const QString& text);
    void loseLine();
    QByteArray takeWritten();

    QByteArray written;
    std::function<void()> onWrite; // called after each write reached the line
    QStringList openedAt;          // "port@settings" of every successful open
    bool failOpen = false;
    QString failReason = QStringLiteral("No such device: /dev/null/COM.");
    int openAttempts = 0;
    QString device = QStringLiteral("/dev/ttyUSB0"); // what the next open is said to use
    QString farEnd;                                  // what the far end said when it ended the line

  private:
    QString m_settings;
    QByteArray m_incoming;
    int m_number = 1;
    bool m_open = false;
};

class FakeSettingsStore final : public SettingsStore {
  public:
    QString read(const QString& application, const QString& section, const QString& key,
                 const QString& defaultText) const override;
    QString write(const QString& application, const QString& section, const QString& key,
                  const QString& text) override;

    // "ComPort" and "BaudRate" under KAVO/StartUP; a null text removes the key.
    void setStartUp(const QString& comPort, const QString& baudRate);
    QString value(const QString& key) const;
    int writes = 0;
    QString failWrites; // when set, every write fails with this reason

  private:
    QMap<QString, QString> m_values;
};

class FakeMessageBox final : public MessageBox {
  public:
    struct Shown {
        QString title;
        QString text;
        QString detail;
    };
    void warn(const QString& title, const QString& text, const QString& detail) override {
        shown.push_back({title, text, detail});
    }
    std::vector<Shown> shown;
};

// A broker connection that keeps what is published and is told what arrives.
class FakeMqttLink final : public MqttLink {
  public:
    struct Published {
        QString topic;
        QByteArray payload;
        MqttRequest request;
    };
    void start(Events events) override { this->events = std::move(events); }
    bool isConnected() const override { return connected; }
    void publish(const QString& topic, const QByteArray& payload, bool) override {
        published.push_back({topic, payload, {}});
    }
    void publish(const QString& topic, const QByteArray& payload,
                 const MqttRequest& request) override {
        published.push_back({topic, payload, request});
    }
    void subscribe(const QString& filter) override { subscribed.append(filter); }
    void stop() override {}
    // A message from the broker, as sent just now.
    void arrive(const QString& topic, const QByteArray& payload, const MqttRequest& request = {}) {
        events.message(topic, payload, false, request);
    }
    int count(const QString& topic) const {
        int found = 0;
        for (const Published& message : published)
            found += message.topic == topic;
        return found;
    }
    Events events;
    bool connected = true;
    std::vector<Published> published;
    QStringList subscribed;
};

} // namespace kavo::test
