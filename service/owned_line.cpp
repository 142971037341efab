#include "owned_line.h"

#include "port_paths.h"

#include <QFileInfo>

namespace kavo::service {

OwnedLine::OwnedLine(PortFactory& factory, QString device, int number, TimerFactory& timers,
                     Journal& journal, QString who)
    : m_factory(factory), m_device(std::move(device)), m_journal(journal), m_who(std::move(who)),
      m_retry(timers.createTimer()), m_number(number > 0 ? number : 1),
      m_downSince(QDateTime::currentDateTimeUtc()),
      m_downReason(QStringLiteral("it has not been opened yet")) {
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

OwnedLine::Choice OwnedLine::choose() {
    if (!m_device.isEmpty())
        return {m_device, {}, {}};
    const QString device = portDevicePath(m_number);
    const QString entry = QStringLiteral("COM%1").arg(m_number);
    if (QFileInfo(device).fileName() == entry && device.startsWith(portFolder())) {
        m_entryTarget = shownDevice(device);
        return {device, QStringLiteral("through the port folder entry %1").arg(entry), {}};
    }
    if (!m_entryTarget.isEmpty())
        return {{},
                {},
                QStringLiteral("the port folder entry %1 (%2) is gone; waiting for it "
                               "to come back rather than opening %3")
                    .arg(entry, escapeControls(m_entryTarget), device)};
    return {device, QStringLiteral("%1 has no port folder entry").arg(entry), {}};
}

OpenResult OwnedLine::open() {
    OpenResult outcome{false, QStringLiteral("The port is still being opened.")};
    openLine([&outcome](const OpenResult& result) { outcome = result; });
    return outcome;
}

void OwnedLine::openLine(std::function<void(const OpenResult&)> done) {
    if (isOpen() || m_opening) {
        done({false, QStringLiteral("The port is already open.")});
        return;
    }
    const Choice choice = choose();
    if (!choice.problem.isEmpty()) {
        done({false, choice.problem + QLatin1Char('.')});
        return;
    }
    m_port = m_factory.createPort(choice.device);
    m_port->setSettings(m_settings);
    m_port->setPortNumber(m_number);
    m_port->setEventHandler([this](CommEvent event) {
        if (event == CommEvent::LineLost && !m_stopped) {
            QString reason = QStringLiteral("line lost: %1").arg(m_deviceName);
            if (const QString far = m_port->farEndReason(); !far.isEmpty())
                reason += QStringLiteral(" (%1)").arg(far);
            m_journal.write(
                m_who,
                QStringLiteral("%1; trying again in %2 s").arg(reason).arg(kFirstRetry.count()));
            m_pause = kFirstRetry;
            wentDown(reason);
            raise(event);
            retryLater();
            for (const auto& observer : m_openObservers)
                observer(false);
            return;
        }
        raise(event);
    });
    m_deviceName = shownDevice(choice.device);
    m_why = choice.why;
    // A connection is made while the service's own loop goes on serving.
    m_opening = true;
    m_port->openAsync([this, port = m_port.get(), done](const OpenResult& result) {
        if (port != m_port.get())
            return;
        m_opening = false;
        done(result);
    });
}

void OwnedLine::wentDown(const QString& reason) {
    if (!m_downSince.isValid())
        m_downSince = QDateTime::currentDateTimeUtc();
    m_downReason = reason;
}

void OwnedLine::tryOpen() {
    if (m_stopped || m_opening)
        return;
    openLine([this](const OpenResult& result) { opened(result); });
}

void OwnedLine::opened(const OpenResult& result) {
    if (m_stopped) {
        if (m_port)
            m_port->close();
        return;
    }
    if (!result) {
        const QString reason = result.reason.trimmed();
        m_journal.write(m_who, QStringLiteral("cannot open the line: %1 Trying again in %2 s")
                                   .arg(reason)
                                   .arg(m_pause.count()));
        wentDown(QStringLiteral("cannot open it: ") + reason);
        retryLater();
        return;
    }
    // A rate means something on a serial device only; a network serial
    // server or a service keeps its own.
    const PortTarget::Kind kind = resolvePortTarget(m_deviceName).kind;
    QString line = QStringLiteral("line open: ") + m_deviceName;
    if (kind != PortTarget::Kind::Network && kind != PortTarget::Kind::Local)
        line += QStringLiteral(" (%1)").arg(m_settings);
    if (!m_why.isEmpty())
        line += (m_why.startsWith(QLatin1String("through")) ? QStringLiteral(" ")
                                                            : QStringLiteral(": ")) +
                m_why;
    m_journal.write(m_who, line);
    m_pause = kFirstRetry;
    m_downSince = {};
    m_downReason.clear();
    if (m_opened)
        m_opened();
    for (const auto& observer : m_openObservers)
        observer(true);
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
        m_port->close(); // an open still on its way is given up
}

void OwnedLine::write(const QByteArray& bytes) {
    if (m_port)
        m_port->write(bytes);
}

QByteArray OwnedLine::readAll() {
    return m_port ? m_port->readAll() : QByteArray();
}

} // namespace kavo::service
