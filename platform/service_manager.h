#pragma once

// A program that the system's service manager runs: on Windows the service
// control manager starts it, asks it to stop (a stop request, shutdown) and
// hears how it fares (running, stopping, stopped with an exit code); its
// start, stop and failures go to the event log under a source of its own.
// Elsewhere systemd runs a plain foreground program and reads its output,
// so neither the link nor the event log is there.

#include <functional>
#include <memory>
#include <QString>

namespace kavo {

class ServiceManager {
  public:
    // The link to the service control manager, when it started this program
    // (as a service of its own process, whatever its name there): `stop` is
    // then called on the event loop with the request's name ("service stop",
    // "shutdown"). Null when the program was started otherwise (a console, a
    // script) or on other systems.
    static std::unique_ptr<ServiceManager> connect(std::function<void(const QString&)> stop);
    virtual ~ServiceManager() = default;

    virtual void running() = 0;
    // Told before the program ends; a nonzero code is a failure, after which
    // the service's recovery settings may start it again.
    virtual void stopped(int exitCode) = 0;

  protected:
    ServiceManager() = default;
};

enum class EventKind { Information, Warning, Error };

// One line in the system's event log under `source` (registered by whoever
// installs the service); nothing where there is no such log.
void logEvent(const QString& source, EventKind kind, const QString& text);

} // namespace kavo
