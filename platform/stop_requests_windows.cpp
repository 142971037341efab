#include "stop_requests.h"

#include <chrono>
#include <QMetaObject>
#include <QObject>
#include <semaphore>
#include <windows.h>

namespace kavo {
namespace {

// Windows ends the process once the handler of a closing console, a logoff
// or a shutdown returns: it waits this long for the program to have let go.
constexpr std::chrono::seconds kClosingGrace{4};

class ConsoleStopRequests;
ConsoleStopRequests* g_installed = nullptr;
// Outside the object, which is gone by the time a waiting handler wakes.
std::binary_semaphore g_stopped{0};

// The console's handler runs on a thread of its own: it hands the request to
// the event loop's thread and, for a closing, waits there until the program
// has stopped.
class ConsoleStopRequests final : public StopRequests {
  public:
    explicit ConsoleStopRequests(std::function<void(const QString&)> stop)
        : m_stop(std::move(stop)) {
        g_installed = this;
    }
    ~ConsoleStopRequests() override {
        SetConsoleCtrlHandler(&ConsoleStopRequests::handler, FALSE);
        g_installed = nullptr;
        g_stopped.release();
    }

    static BOOL WINAPI handler(DWORD event) {
        ConsoleStopRequests* self = g_installed;
        if (!self)
            return FALSE;
        const QString why = event == CTRL_C_EVENT        ? QStringLiteral("Ctrl+C")
                            : event == CTRL_BREAK_EVENT  ? QStringLiteral("Ctrl+Break")
                            : event == CTRL_CLOSE_EVENT  ? QStringLiteral("console closed")
                            : event == CTRL_LOGOFF_EVENT ? QStringLiteral("logoff")
                                                         : QStringLiteral("shutdown");
        QMetaObject::invokeMethod(
            &self->m_context, [self, why] { self->m_stop(why); }, Qt::QueuedConnection);
        if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
            g_stopped.try_acquire_for(kClosingGrace);
        return TRUE;
    }

  private:
    QObject m_context;
    std::function<void(const QString&)> m_stop;
};

} // namespace

std::unique_ptr<StopRequests> StopRequests::install(std::function<void(const QString&)> stop) {
    if (g_installed)
        return nullptr;
    auto requests = std::make_unique<ConsoleStopRequests>(std::move(stop));
    if (!SetConsoleCtrlHandler(&ConsoleStopRequests::handler, TRUE))
        return nullptr;
    return requests;
}

} // namespace kavo
