#pragma once

// Requests from outside to end a program that runs until told to stop:
// SIGTERM, SIGINT and SIGHUP on POSIX systems; Ctrl+C, Ctrl+Break, the
// console's closing, logoff and shutdown on Windows. Each arrives as a call
// on the event loop, so that the program ends through its usual path and
// lets go of the line, its endpoints and its locks.

#include <functional>
#include <memory>
#include <QString>

namespace kavo {

class StopRequests {
  public:
    // `stop` is called on the event loop with the request's name ("SIGTERM",
    // "Ctrl+C", ...). Only one may be installed in a process at a time.
    // Null when the requests cannot be caught.
    static std::unique_ptr<StopRequests> install(std::function<void(const QString&)> stop);
    virtual ~StopRequests() = default;

  protected:
    StopRequests() = default;
};

} // namespace kavo
