#include "stop_requests.h"

#include <csignal>
#include <QSocketNotifier>
#include <sys/socket.h>
#include <unistd.h>

namespace kavo {
namespace {

int g_signalPipe[2] = {-1, -1};

extern "C" void onStopSignal(int number) {
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
}

// The handler only writes the signal's number into a socket pair; its other
// end wakes the event loop.
class SignalStopRequests final : public StopRequests {
  public:
    explicit SignalStopRequests(std::function<void(const QString&)> stop)
        : m_notifier(g_signalPipe[0], QSocketNotifier::Read) {
        QObject::connect(&m_notifier, &QSocketNotifier::activated, &m_notifier,
                         [stop = std::move(stop)] {
                             unsigned char number = 0;
                             if (::read(g_signalPipe[0], &number, 1) != 1)
                                 return;
                             stop(number == SIGINT   ? QStringLiteral("SIGINT")
                                  : number == SIGHUP ? QStringLiteral("SIGHUP")
                                                     : QStringLiteral("SIGTERM"));
                         });
    }

  private:
    QSocketNotifier m_notifier;
};

} // namespace

// SIGHUP's default would end the program without letting go of anything; a
// write to a client that has gone is no reason to die.
std::unique_ptr<StopRequests> StopRequests::install(std::function<void(const QString&)> stop) {
    if (g_signalPipe[0] < 0 &&
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_signalPipe) != 0)
        return nullptr;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return std::make_unique<SignalStopRequests>(std::move(stop));
}

} // namespace kavo
