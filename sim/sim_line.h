#pragma once

// The simulator's side of the line to the panel. A pseudo-terminal is one line
// for the whole run; a TCP listener serves one client at a time, like a
// network serial server in raw mode.

#include <functional>
#include <QByteArray>
#include <QString>

namespace kavo::sim {

class SimLine {
  public:
    struct Handlers {
        std::function<void(const QByteArray&)> received;
        // Someone can hear the projector now; `who` is empty on a pseudo-terminal.
        std::function<void(const QString& who)> connected;
        // They cannot any more, and why.
        std::function<void(const QString& why)> gone;
        // Something worth a line in the log that changes nothing for the one connected.
        std::function<void(const QString& what)> noted;
    };

    virtual ~SimLine() = default;
    // `connected` may be called before this returns.
    virtual void start(Handlers handlers) = 0;
    virtual bool isConnected() const = 0;
    // Writes what the line takes now and returns how much; the rest is not sent.
    virtual qsizetype send(const QByteArray& bytes) = 0;
    // Drops the line as asked, like a pulled cable or a server's hang-up.
    virtual void hangUp() = 0;
};

} // namespace kavo::sim
