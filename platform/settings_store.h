#pragma once

// Per-user store of text values addressed by application, section and key.

#include <QString>

namespace kavo {

class SettingsStore {
  public:
    virtual ~SettingsStore() = default;
    virtual QString read(const QString& application, const QString& section, const QString& key,
                         const QString& defaultText) const = 0;
    // Stores the text; returns why it could not be stored, empty once it is.
    [[nodiscard]] virtual QString write(const QString& application, const QString& section,
                                        const QString& key, const QString& text) = 0;
    // Why the application's values cannot be read (reads then give the
    // defaults), empty when they can.
    virtual QString readProblem(const QString& application) const {
        Q_UNUSED(application);
        return {};
    }
};

} // namespace kavo
