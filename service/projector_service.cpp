#include "projector_service.h"

#include "line_settings.h"
#include "port_paths.h"

namespace kavo::service {

ProjectorService::ProjectorService(const ServiceOptions& options, PortFactory& ports,
                                   TimerFactory& timers, Journal& journal)
    : m_options(options), m_journal(journal) {
    const QString device = options.device;
    const int number = options.portNumber;
    m_line = std::make_unique<OwnedLine>(
        ports, [device, number] { return device.isEmpty() ? portDevicePath(number) : device; },
        timers, journal, options.name);
    m_line->setSettings(settingsText(options.baudCode));
    m_line->setPortNumber(number > 0 ? number : 1);
    m_queue = std::make_unique<LineQueue>(*m_line, timers, journal, m_state,
                                          QueueSettings{options.replyWindow, options.queueWait,
                                                        options.pollStatus, options.pollOther,
                                                        options.gap});
    m_hub = std::make_unique<ClientHub>(*m_queue, journal, options.name);
}

ProjectorService::~ProjectorService() {
    stop({});
}

QString ProjectorService::start() {
    if (QString error = m_hub->listenLocal(m_options.socketPath); !error.isEmpty())
        return error;
    if (m_options.listen) {
        if (QString error = m_hub->listenTcp(*m_options.listen); !error.isEmpty()) {
            m_hub->close();
            return error;
        }
    }
    m_line->start([this] { m_queue->lineOpened(); });
    return {};
}

void ProjectorService::stop(const QString& why) {
    if (m_stopped)
        return;
    m_stopped = true;
    if (!why.isEmpty())
        m_journal.write(m_options.name, QStringLiteral("stopping: %1").arg(why));
    m_hub->close();
    m_line->close();
}

} // namespace kavo::service
