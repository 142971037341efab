#include "projector_service.h"

#include "line_settings.h"
#include "port_paths.h"
#include "safe_files.h"

#include <QFile>
#include <QFileInfo>

namespace kavo::service {
namespace {

// The password is the file's first line; it is never shown, only its file.
QByteArray readPassword(const QString& path, const QString& what, QString& error,
                        QStringList& warnings) {
    QByteArray password = readPasswordFile(path, what, error);
    // Read, but not by it alone: the operator is told how to mend that.
    if (const QString warning = secretFileWarning(path, what);
        !password.isEmpty() && !warning.isEmpty())
        warnings.append(warning);
    return password;
}

} // namespace

ProjectorService::ProjectorService(const ServiceOptions& options, PortFactory& ports,
                                   TimerFactory& timers, Journal& journal, MqttLinkFactory mqtt)
    : m_options(options), m_journal(journal), m_timers(timers), m_mqttLinks(std::move(mqtt)) {
    m_line = std::make_unique<OwnedLine>(ports, options.device, options.portNumber, timers, journal,
                                         options.name);
    m_line->setSettings(settingsText(options.baudCode));
    m_queue = std::make_unique<LineQueue>(*m_line, timers, journal, m_state,
                                          QueueSettings{options.replyWindow, options.queueWait,
                                                        options.pollStatus, options.pollOther,
                                                        options.gap});
    m_hub = std::make_unique<ClientHub>(*m_queue, timers, journal, options.name,
                                        [line = m_line.get()]() -> std::optional<LineDown> {
                                            if (line->isOpen())
                                                return std::nullopt;
                                            return LineDown{line->downSince(), line->downReason()};
                                        });
    m_line->addOpenObserver([this](bool open) {
        if (!open) {
            // Nothing read before is known any more.
            m_state.forget();
            m_hub->lineLost();
        }
    });
    journal.useTimers(timers);
}

ProjectorService::~ProjectorService() {
    stop({});
}

QString ProjectorService::start() {
    // The schedule first: a wrong line in its file is a bad setting.
    if (!m_options.scheduleFile.isEmpty()) {
        m_scheduler = std::make_unique<Scheduler>(
            *m_queue, m_timers, m_journal,
            SchedulerSettings{m_options.scheduleFile, m_options.catchUp});
        // A run that failed or was missed is an alert (the monitor is made
        // further down; runs need the line, which opens last).
        m_scheduler->setAlert([this](const QString& event, const QString& detail) {
            if (m_alerts)
                m_alerts->raiseOnce(event, detail);
        });
        if (QString error = m_scheduler->start(); !error.isEmpty()) {
            m_scheduler.reset();
            return error;
        }
        // The text and the next runs: kavoctl prints those, and the entries
        // parsed once more would not fit in a service answer.
        m_hub->setScheduleAnswer([this] {
            QJsonObject answer = m_scheduler->toJson();
            answer.remove(QStringLiteral("entries"));
            answer.remove(QStringLiteral("skips"));
            return answer;
        });
        m_line->addOpenObserver([this](bool open) { m_scheduler->lineChanged(open); });
    }
    if (QString error = m_hub->listenLocal(m_options.socketPath, m_options.pipeUsers);
        !error.isEmpty())
        return error;
    if (m_options.listen) {
        if (QString error = m_hub->listenTcp(*m_options.listen); !error.isEmpty()) {
            m_hub->close();
            return error;
        }
    }
    if (m_options.pjlink) {
        PjlinkSettings settings{*m_options.pjlink, {}, m_options.pjlinkName, m_options.model};
        if (settings.projectorName.isEmpty())
            settings.projectorName = m_options.name;
        if (!m_options.pjlinkPasswordFile.isEmpty()) {
            QString error;
            settings.password = readPassword(m_options.pjlinkPasswordFile, QStringLiteral("PJLink"),
                                             error, m_warnings);
            if (settings.password.isEmpty()) {
                m_hub->close();
                return error;
            }
        }
        settings.pjlinkClass = m_options.pjlinkClass;
        settings.serialNumber = m_options.pjlinkSerial;
        m_pjlink = std::make_unique<PjlinkServer>(*m_queue, m_timers, m_journal, m_options.name,
                                                  std::move(settings));
        if (QString error = m_pjlink->listen(); !error.isEmpty()) {
            m_hub->close();
            return error;
        }
    }
    // PJLink Class 2's searches and notifications, on the TCP side's port.
    if (m_pjlink && m_options.pjlinkClass == 2) {
        m_pjlinkUdp = std::make_unique<PjlinkUdp>(
            *m_queue, m_timers, m_journal, m_options.name,
            PjlinkUdpSettings{m_options.pjlink->address, m_pjlink->port(), m_options.pjlinkNotify});
        QObject::connect(m_pjlink.get(), &PjlinkServer::controllerConnected, m_pjlinkUdp.get(),
                         &PjlinkUdp::setController);
        m_line->addOpenObserver([this](bool open) { m_pjlinkUdp->lineChanged(open); });
        // Searches unanswered are no reason to refuse the controllers on TCP.
        if (QString error = m_pjlinkUdp->listen(); !error.isEmpty())
            m_journal.write(m_options.name, QStringLiteral("warning: ") + error);
    }
    if (m_options.mqtt) {
        if (QString error = startMqtt(); !error.isEmpty()) {
            if (m_pjlink)
                m_pjlink->close();
            m_hub->close();
            return error;
        }
    }
    if (QString error = startAlerts(); !error.isEmpty()) {
        if (m_mqtt)
            m_mqtt->stop();
        if (m_pjlink)
            m_pjlink->close();
        m_hub->close();
        return error;
    }
    for (const QString& warning : std::exchange(m_warnings, {}))
        m_journal.write(m_options.name, warning);
    m_line->start([this] { m_queue->lineOpened(); });
    return {};
}

QString ProjectorService::startMqtt() {
    const BrokerAddress& broker = *m_options.mqtt;
    QString problem;
    std::optional<MqttSettings> wanted = mqttSettingsFor(broker, m_options.mqttCaFile, problem);
    if (!wanted)
        return problem;
    MqttSettings settings = *std::move(wanted);
    if (!m_options.mqttPasswordFile.isEmpty()) {
        QString error;
        settings.password =
            readPassword(m_options.mqttPasswordFile, QStringLiteral("MQTT"), error, m_warnings);
        if (settings.password.isEmpty())
            return error;
    }
    const QString base = m_options.mqttBase + QLatin1Char('/') + m_options.name;
    const QString brokerUser = settings.user;
    settings.clientId = QStringLiteral("kavo-projectord-") + m_options.name;
    settings.willTopic = base + QStringLiteral("/availability");
    settings.willPayload = "offline";
    m_mqttLink = m_mqttLinks(std::move(settings));
    m_mqtt = std::make_unique<MqttBridge>(
        *m_mqttLink, *m_queue, m_timers, m_journal,
        MqttBridgeSettings{base, m_options.mqttDiscoveryPrefix, m_options.name, m_options.model,
                           m_options.mqttBase, m_options.description, m_options.groups,
                           m_options.publicUrl, m_options.lampAlertHours, brokerUser});
    m_line->addOpenObserver([this](bool open) { m_mqtt->lineChanged(open); });
    m_journal.write(m_options.name,
                    QStringLiteral("MQTT: broker %1://%2:%3, topics under %4/")
                        .arg(broker.tls ? QStringLiteral("mqtts") : QStringLiteral("mqtt"),
                             escapeControls(broker.host))
                        .arg(broker.port)
                        .arg(base));
    m_mqtt->start();
    return {};
}

// Alerts: the monitor always (the page and kavoctl list them), the
// channels given.
QString ProjectorService::startAlerts() {
    using std::chrono::milliseconds;
    std::vector<std::unique_ptr<AlertChannel>> channels;
    if (!m_options.alertCommand.isEmpty())
        channels.push_back(std::make_unique<CommandChannel>(
            m_options.alertCommand, milliseconds(m_options.alertCommandTimeout), m_timers,
            m_journal, m_options.name));
    if (!m_options.alertWebhook.isEmpty()) {
        WebhookSettings settings;
        settings.url = QUrl(m_options.alertWebhook);
        if (!m_options.alertWebhookSecretFile.isEmpty()) {
            QString error;
            settings.secret = readPassword(m_options.alertWebhookSecretFile,
                                           QStringLiteral("alert webhook"), error, m_warnings);
            if (settings.secret.isEmpty())
                return error;
        }
        channels.push_back(std::make_unique<WebhookChannel>(std::move(settings), m_timers,
                                                            m_journal, m_options.name));
    }
    if (!m_options.alertMail.isEmpty())
        channels.push_back(std::make_unique<MailChannel>(m_options.alertMail, m_timers, m_journal,
                                                         m_options.name));
    if (m_mqtt)
        channels.push_back(std::make_unique<MqttAlertChannel>(*m_mqtt));
    m_alertChannels = std::move(channels);

    AlertSettings settings;
    settings.name = m_options.name;
    settings.lampHours = m_options.lampAlertHours;
    if (m_options.temperatureAlert)
        settings.temperature = double(*m_options.temperatureAlert);
    settings.lineAfter = m_options.lineAlertAfter;
    settings.clearAfter = m_options.alertClearAfter;
    m_alerts = std::make_unique<AlertMonitor>(*m_queue, m_timers, m_journal, settings);
    m_alerts->addListener([this](const QJsonObject& event) {
        for (const auto& channel : m_alertChannels)
            channel->send(event);
        if (m_mqtt)
            m_mqtt->setOpenAlerts(m_alerts->openAlerts());
    });
    m_hub->setAlerts([this] { return m_alerts->toJson(); });
    m_line->addOpenObserver([this](bool open) {
        if (m_alerts)
            m_alerts->lineChanged(open);
    });
    m_alerts->start(m_line->isOpen());
    return {};
}

void ProjectorService::stop(const QString& why) {
    if (m_stopped)
        return;
    m_stopped = true;
    if (!why.isEmpty())
        m_journal.write(m_options.name, QStringLiteral("stopping: %1").arg(why));
    if (m_scheduler)
        m_scheduler->stop();
    if (m_mqtt)
        m_mqtt->stop();
    if (m_pjlink)
        m_pjlink->close();
    if (m_pjlinkUdp)
        m_pjlinkUdp->close();
    m_hub->close();
    m_line->close();
    // A program or request still running for an alert ends with the service.
    m_alertChannels.clear();
    m_journal.flushComplaints();
}

} // namespace kavo::service
