#include "service_manager.h"

#include <future>
#include <mutex>
#include <QMetaObject>
#include <QObject>
#include <string>
#include <thread>
#include <windows.h>

namespace kavo {
namespace {

// How long the manager waits for the stop before it calls the service hung.
constexpr DWORD kStopWaitHintMs = 15000;

// Its own process's one service: the name is not looked at.
wchar_t g_serviceName[] = L"kavo-projectord";

class ControlManagerLink;
// The service's main function is given no context: the link, set before the
// dispatcher starts.
ControlManagerLink* g_link = nullptr;

// The dispatcher runs on a thread of its own and calls the service's main
// function and its control handler there; the program's event loop stays on
// the main thread, where stop requests are handed over.
class ControlManagerLink final : public ServiceManager {
  public:
    explicit ControlManagerLink(std::function<void(const QString&)> stop)
        : m_stop(std::move(stop)) {
        g_link = this;
    }
    ~ControlManagerLink() override {
        if (!m_stoppedTold)
            stopped(0);
        // The dispatcher returns once the service is reported stopped.
        if (m_dispatcher.joinable())
            m_dispatcher.join();
        g_link = nullptr;
    }

    // Whether the service control manager started this program.
    bool start() {
        std::future<bool> connected = m_connected.get_future();
        m_dispatcher = std::thread([this] {
            SERVICE_TABLE_ENTRYW table[] = {{g_serviceName, &ControlManagerLink::serviceMain},
                                            {nullptr, nullptr}};
            if (!::StartServiceCtrlDispatcherW(table))
                tellConnected(false);
        });
        if (connected.get())
            return true;
        m_dispatcher.join();
        return false;
    }

    void running() override { report(SERVICE_RUNNING, 0, 0); }

    void stopped(int exitCode) override {
        m_stoppedTold = true;
        report(SERVICE_STOPPED, DWORD(exitCode), 0);
    }

  private:
    static void WINAPI serviceMain(DWORD, LPWSTR*) {
        ControlManagerLink* self = g_link;
        self->m_status =
            ::RegisterServiceCtrlHandlerExW(g_serviceName, &ControlManagerLink::handler, self);
        if (!self->m_status) {
            self->tellConnected(false);
            return;
        }
        self->report(SERVICE_START_PENDING, 0, 0);
        self->tellConnected(true);
    }

    static DWORD WINAPI handler(DWORD control, DWORD, LPVOID, LPVOID context) {
        auto* self = static_cast<ControlManagerLink*>(context);
        switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN: {
            self->report(SERVICE_STOP_PENDING, 0, kStopWaitHintMs);
            const QString why = control == SERVICE_CONTROL_STOP ? QStringLiteral("service stop")
                                                                : QStringLiteral("shutdown");
            QMetaObject::invokeMethod(
                &self->m_context, [self, why] { self->m_stop(why); }, Qt::QueuedConnection);
            return NO_ERROR;
        }
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
        }
    }

    void tellConnected(bool connected) {
        std::call_once(m_told, [&] { m_connected.set_value(connected); });
    }

    void report(DWORD state, DWORD exitCode, DWORD waitHint) {
        const std::lock_guard lock(m_reporting);
        if (!m_status)
            return;
        SERVICE_STATUS status{};
        status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        status.dwCurrentState = state;
        status.dwControlsAccepted =
            state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
        // A failure is the program's own exit code, which the recovery
        // settings act on when failure actions are set for it.
        status.dwWin32ExitCode = exitCode ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
        status.dwServiceSpecificExitCode = exitCode;
        status.dwWaitHint = waitHint;
        const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
        status.dwCheckPoint = pending ? ++m_checkPoint : 0;
        ::SetServiceStatus(m_status, &status);
    }

    QObject m_context;
    std::function<void(const QString&)> m_stop;
    std::thread m_dispatcher;
    std::promise<bool> m_connected;
    std::once_flag m_told;
    std::mutex m_reporting;
    SERVICE_STATUS_HANDLE m_status = nullptr;
    DWORD m_checkPoint = 0;
    bool m_stoppedTold = false;
};

} // namespace

std::unique_ptr<ServiceManager> ServiceManager::connect(std::function<void(const QString&)> stop) {
    if (g_link)
        return nullptr;
    auto link = std::make_unique<ControlManagerLink>(std::move(stop));
    if (!link->start())
        return nullptr;
    return link;
}

void logEvent(const QString& source, EventKind kind, const QString& text) {
    const HANDLE log = ::RegisterEventSourceW(nullptr, source.toStdWString().c_str());
    if (!log)
        return;
    const std::wstring line = text.toStdWString();
    const wchar_t* strings[] = {line.c_str()};
    const WORD type = kind == EventKind::Error     ? EVENTLOG_ERROR_TYPE
                      : kind == EventKind::Warning ? EVENTLOG_WARNING_TYPE
                                                   : EVENTLOG_INFORMATION_TYPE;
    ::ReportEventW(log, type, 0, 1, nullptr, 1, 0, strings, nullptr);
    ::DeregisterEventSource(log);
}

} // namespace kavo
