#include "owned_line.h"

#include "port_paths.h"

namespace kavo::service {

OwnedLine::OwnedLine(PortFactory& factory, std::function<QString()> device, TimerFactory& timers,
                     Journal& journal, QString who)
    : m_factory(factory), m_device(std::move(device)), m_journal(journal), m_who(std::move(who)),
      m_retry(timers.createTimer()) {
    m_retry->setTickHandler([this] {
        m_retry->setEnabled(false);
        tryOpen();
    });
}

OwnedLine::~OwnedLine() = default;

void OwnedLine::start(std::function<void()> opened) {
    m_opened = std::move(opened);
    m_stopped = false;
    tryOpen();
}

OpenResult OwnedLine::open() {
    if (isOpen())
        return {false, QStringLiteral("The port is already open.")};
    const QString device = m_device();
    m_port = m_factory.createPort(device);
    m_port->setSettings(m_settings);
    m_port->setPortNumber(m_number);
    m_port->setEventHandler([this](CommEvent event) {
        if (event == CommEvent::LineLost && !m_stopped) {
            m_journal.write(m_who, QStringLiteral("line lost: %1; trying again in %2 s")
                                       .arg(m_deviceName)
                                       .arg(kFirstRetry.count()));
            m_pause = kFirstRetry;
            raise(event);
            retryLater();
            if (m_openChanged)
                m_openChanged(false);
            return;
        }
        raise(event);
    });
    const OpenResult result = m_port->open();
    m_deviceName = shownDevice(device);
    return result;
}

void OwnedLine::tryOpen() {
    if (m_stopped)
        return;
    const OpenResult result = open();
    if (!result) {
        m_journal.write(m_who, QStringLiteral("cannot open the line: %1 Trying again in %2 s")
                                   .arg(result.reason.trimmed())
                                   .arg(m_pause.count()));
        retryLater();
        return;
    }
    m_journal.write(m_who, QStringLiteral("line open: %1 (%2)").arg(m_deviceName, m_settings));
    m_pause = kFirstRetry;
    if (m_opened)
        m_opened();
    if (m_openChanged)
        m_openChanged(true);
}

void OwnedLine::retryLater() {
    m_retry->setInterval(m_pause);
    m_retry->setEnabled(true);
    m_pause = std::min(m_pause * 2, kLongestRetry);
}

void OwnedLine::close() {
    m_stopped = true;
    m_retry->setEnabled(false);
    if (m_port)
        m_port->close();
}

void OwnedLine::write(const QString& text) {
    if (m_port)
        m_port->write(text);
}

QString OwnedLine::readAll() {
    return m_port ? m_port->readAll() : QString();
}

} // namespace kavo::service
