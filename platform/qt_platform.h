#pragma once

// Product implementations of the settings store and timers: Qt Core only, so
// that programs without a display can use them.

#include "settings_store.h"
#include "timer.h"

#include <QTimer>

namespace kavo {

// The registry key that holds an application's sections on Windows:
// HKEY_CURRENT_USER\Software\<application>.
QString storeRegistryKey(const QString& application);

// The current user's store: ~/.config/<application>.conf on Linux (sections as
// INI groups), the registry key above on Windows (sections as subkeys, values
// as strings). Values an earlier Windows build left under
// <application>\OrganizationDefaults are moved up on first use. A store file
// that is not a regular file (a FIFO would block every read) is not opened:
// it holds nothing and cannot be written.
class QtSettingsStore final : public SettingsStore {
  public:
    QString read(const QString& application, const QString& section, const QString& key,
                 const QString& defaultText) const override;
    QString write(const QString& application, const QString& section, const QString& key,
                  const QString& text) override;
    QString readProblem(const QString& application) const override;
};

class QtTimer final : public Timer {
  public:
    QtTimer();
    void setInterval(std::chrono::milliseconds interval) override;
    std::chrono::milliseconds interval() const override;
    void setEnabled(bool enabled) override;
    bool isEnabled() const override { return m_timer.isActive(); }

  private:
    QTimer m_timer;
};

class QtTimerFactory final : public TimerFactory {
  public:
    std::unique_ptr<Timer> createTimer() override { return std::make_unique<QtTimer>(); }
    std::chrono::milliseconds now() const override {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now().time_since_epoch());
    }
};

} // namespace kavo
