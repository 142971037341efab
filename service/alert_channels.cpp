#include "alert_channels.h"

#include "mqtt_bridge.h"
#include "port_paths.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QMessageAuthenticationCode>
#include <QMetaEnum>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QStandardPaths>

namespace kavo::service {
namespace {

QString field(const QJsonObject& event, const char* name) {
    return event.value(QLatin1String(name)).toString();
}

// "lamp_hours raised", as the journal names a delivery.
QString whatOf(const QJsonObject& event) {
    return field(event, "event") + QLatin1Char(' ') + field(event, "state");
}

QByteArray jsonOf(const QJsonObject& event) {
    return QJsonDocument(event).toJson(QJsonDocument::Compact);
}

// A header's value on one line, whatever the event holds.
QString headerValue(const QString& text) {
    QString line = text;
    for (QChar& c : line) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char(' ');
    }
    return line;
}

} // namespace

ProgramRunner::ProgramRunner(QString label, TimerFactory& timers, Journal& journal, QString who,
                             std::chrono::milliseconds timeout)
    : m_label(std::move(label)), m_timers(timers), m_journal(journal), m_who(std::move(who)),
      m_timeout(timeout), m_limit(timers.createTimer()) {
    m_limit->setTickHandler([this] {
        m_limit->setEnabled(false);
        if (m_process) {
            m_killed = true;
            m_process->kill();
        }
    });
}

ProgramRunner::~ProgramRunner() {
    if (m_process) {
        // Its signals would reach a runner half gone.
        m_process->disconnect();
        m_process->kill();
        m_process->waitForFinished(1000);
    }
}

void ProgramRunner::run(const QString& program, const QStringList& arguments,
                        const QProcessEnvironment& environment, const QByteArray& input,
                        const QString& what) {
    if (m_jobs.size() >= kAlertsQueued) {
        m_journal.complain(m_who,
                           QStringLiteral("%1: %2 dropped, %3 events are waiting already")
                               .arg(m_label, what)
                               .arg(m_jobs.size()),
                           u"alert dropped", m_label);
        return;
    }
    m_jobs.push_back(Job{program, arguments, environment, input, what});
    if (!m_process)
        next();
}

void ProgramRunner::next() {
    if (m_jobs.empty())
        return;
    const Job& job = m_jobs.front();
    m_process = std::make_unique<QProcess>();
    m_errors.clear();
    m_killed = false;
    QProcess* process = m_process.get();
    process->setProgram(job.program);
    process->setArguments(job.arguments);
    process->setProcessEnvironment(job.environment);
    process->setStandardOutputFile(QProcess::nullDevice());
    QObject::connect(process, &QProcess::readyReadStandardError, process, [this, process] {
        const QByteArray more = process->readAllStandardError();
        m_errors.append(more.left(std::max<qsizetype>(0, kAlertErrorKept - m_errors.size())));
    });
    QObject::connect(
        process, &QProcess::finished, process,
        [this, process](int code, QProcess::ExitStatus status) {
            m_errors.append(process->readAllStandardError().left(
                std::max<qsizetype>(0, kAlertErrorKept - m_errors.size())));
            if (m_killed)
                finished(
                    QStringLiteral("killed after %1 s").arg(double(m_timeout.count()) / 1000.0));
            else if (status == QProcess::CrashExit)
                finished(QStringLiteral("ended by a signal"));
            else
                finished(QStringLiteral("exit status %1").arg(code));
        });
    QObject::connect(
        process, &QProcess::errorOccurred, process, [this, process](QProcess::ProcessError error) {
            if (error == QProcess::FailedToStart)
                finished(QStringLiteral("cannot start it: %1").arg(process->errorString()));
        });
    m_limit->setInterval(m_timeout);
    m_limit->setEnabled(true);
    const QByteArray input = job.input;
    process->start(QIODevice::ReadWrite);
    // A program that cannot start may have been told so, and the next one
    // started, inside start().
    if (m_process.get() == process) {
        process->write(input);
        process->closeWriteChannel();
    }
}

void ProgramRunner::finished(const QString& outcome) {
    m_limit->setEnabled(false);
    const QString what = m_jobs.front().what;
    m_jobs.pop_front();
    QString line = QStringLiteral("%1 for %2: %3").arg(m_label, what, outcome);
    const QString errors = QString::fromUtf8(m_errors).trimmed();
    if (!errors.isEmpty())
        line += QStringLiteral("; it said: ") + escapeControls(errors);
    m_journal.write(m_who, line);
    // The process is in its own signal here: it goes once that returns.
    m_process.release()->deleteLater();
    next();
}

CommandChannel::CommandChannel(QString program, std::chrono::milliseconds timeout,
                               TimerFactory& timers, Journal& journal, QString who)
    : m_program(std::move(program)),
      m_runner(QStringLiteral("alert command %1").arg(escapeControls(m_program)), timers, journal,
               std::move(who), timeout) {}

void CommandChannel::send(const QJsonObject& event) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("KAVO_EVENT"), field(event, "event"));
    environment.insert(QStringLiteral("KAVO_NAME"), field(event, "name"));
    environment.insert(QStringLiteral("KAVO_STATE"), field(event, "state"));
    environment.insert(QStringLiteral("KAVO_DETAIL"), field(event, "detail"));
    m_runner.run(m_program, {}, environment, jsonOf(event) + '\n', whatOf(event));
}

QString findSendmail() {
    if (QString onPath = QStandardPaths::findExecutable(QStringLiteral("sendmail"));
        !onPath.isEmpty())
        return onPath;
    for (const char* path : {"/usr/sbin/sendmail", "/usr/lib/sendmail"}) {
        const QFileInfo info(QString::fromLatin1(path));
        if (info.isFile() && info.isExecutable())
            return info.filePath();
    }
    return {};
}

QByteArray alertMail(const QString& address, const QJsonObject& event) {
    const QString subject =
        QStringLiteral("%1: %2 %3")
            .arg(field(event, "name"), field(event, "description"), field(event, "state"));
    QString mail;
    mail += QStringLiteral("To: %1\n").arg(headerValue(address));
    mail += QStringLiteral("Subject: %1\n").arg(headerValue(subject));
    mail += QStringLiteral("MIME-Version: 1.0\n"
                           "Content-Type: text/plain; charset=utf-8\n"
                           "Content-Transfer-Encoding: 8bit\n"
                           "Auto-Submitted: auto-generated\n"
                           "\n");
    mail += QStringLiteral("%1 %2: %3\n")
                .arg(field(event, "description"), field(event, "state"), field(event, "detail"));
    mail += QStringLiteral("Projector: %1\nTime: %2\n\n")
                .arg(field(event, "name"), field(event, "time"));
    mail += QString::fromUtf8(jsonOf(event)) + QLatin1Char('\n');
    return mail.toUtf8();
}

MailChannel::MailChannel(QString address, TimerFactory& timers, Journal& journal, QString who)
    : m_address(std::move(address)), m_sendmail(findSendmail()), m_journal(journal), m_who(who),
      m_runner(QStringLiteral("alert mail to %1").arg(escapeControls(m_address)), timers, journal,
               std::move(who), kAlertCommandTimeout) {
    if (m_sendmail.isEmpty())
        m_journal.write(m_who, QStringLiteral("alert mail to %1: no sendmail program (not on PATH, "
                                              "nor /usr/sbin/sendmail or /usr/lib/sendmail): "
                                              "install msmtp-mta or a mail server")
                                   .arg(escapeControls(m_address)));
}

void MailChannel::send(const QJsonObject& event) {
    if (m_sendmail.isEmpty()) {
        m_journal.complain(m_who,
                           QStringLiteral("alert mail to %1 for %2 not sent: no sendmail program")
                               .arg(escapeControls(m_address), whatOf(event)),
                           u"no sendmail");
        return;
    }
    m_runner.run(m_sendmail, {QStringLiteral("-t")}, QProcessEnvironment::systemEnvironment(),
                 alertMail(m_address, event), whatOf(event));
}

QString shownWebhook(const QUrl& url) {
    return url
        .adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment |
                  QUrl::RemoveUserInfo)
        .toString();
}

QByteArray webhookSignature(const QByteArray& body, const QByteArray& secret) {
    return "sha256=" +
           QMessageAuthenticationCode::hash(body, secret, QCryptographicHash::Sha256).toHex();
}

WebhookChannel::WebhookChannel(WebhookSettings settings, TimerFactory& timers, Journal& journal,
                               QString who)
    : m_settings(std::move(settings)), m_journal(journal), m_who(std::move(who)),
      m_network(std::make_unique<QNetworkAccessManager>()), m_retry(timers.createTimer()) {
    m_shown = QStringLiteral("alert webhook %1").arg(shownWebhook(m_settings.url));
    m_retry->setTickHandler([this] {
        m_retry->setEnabled(false);
        post();
    });
}

WebhookChannel::~WebhookChannel() {
    // Replies still open are aborted by the manager without reaching this.
    m_network->disconnect();
    for (QNetworkReply* reply : m_network->findChildren<QNetworkReply*>())
        reply->disconnect();
}

void WebhookChannel::send(const QJsonObject& event) {
    if (m_deliveries.size() >= kAlertsQueued) {
        m_journal.complain(m_who,
                           QStringLiteral("%1: %2 dropped, %3 events are waiting already")
                               .arg(m_shown, whatOf(event))
                               .arg(m_deliveries.size()),
                           u"alert dropped", m_shown);
        return;
    }
    m_deliveries.push_back(Delivery{jsonOf(event), whatOf(event)});
    if (!m_posting && !m_retry->isEnabled())
        post();
}

void WebhookChannel::post() {
    if (m_deliveries.empty())
        return;
    Delivery& delivery = m_deliveries.front();
    ++delivery.tries;
    QNetworkRequest request(m_settings.url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("kavo-projectord"));
    if (!m_settings.secret.isEmpty())
        request.setRawHeader("X-Kavo-Signature",
                             webhookSignature(delivery.body, m_settings.secret));
    request.setTransferTimeout(int(std::chrono::milliseconds(kWebhookTransferTimeout).count()));
    m_posting = true;
    QNetworkReply* reply = m_network->post(request, delivery.body);
    // Whatever the receiver answers is not kept: its body could be any size.
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply] { reply->readAll(); });
    QObject::connect(reply, &QNetworkReply::finished, reply, [this, reply] { answered(reply); });
}

void WebhookChannel::answered(QNetworkReply* reply) {
    reply->deleteLater();
    m_posting = false;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    Delivery& delivery = m_deliveries.front();
    // The error's name, not its text: that holds the whole URL.
    const QString outcome =
        status != 0
            ? QStringLiteral("HTTP %1").arg(status)
            : QString::fromLatin1(
                  QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(reply->error()));
    if (reply->error() == QNetworkReply::NoError && status >= 200 && status < 300) {
        m_journal.write(
            m_who,
            QStringLiteral("%1 for %2: delivered (%3)").arg(m_shown, delivery.what, outcome));
    } else if (delivery.tries <= m_settings.pauses.size()) {
        const std::chrono::milliseconds pause = m_settings.pauses[delivery.tries - 1];
        m_journal.write(m_who, QStringLiteral("%1 for %2: %3; trying again in %4 s")
                                   .arg(m_shown, delivery.what, outcome)
                                   .arg(double(pause.count()) / 1000.0));
        m_retry->setInterval(pause);
        m_retry->setEnabled(true);
        return;
    } else {
        m_journal.write(m_who, QStringLiteral("%1 for %2: %3; given up after %4 tries")
                                   .arg(m_shown, delivery.what, outcome)
                                   .arg(delivery.tries));
    }
    m_deliveries.pop_front();
    post();
}

void MqttAlertChannel::send(const QJsonObject& event) {
    m_bridge.publishAlert(event);
}

} // namespace kavo::service
