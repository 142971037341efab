#pragma once

// Where the alerts go, each channel behind one small interface: a program
// run with the event (the way UPS and disk monitors notify), a webhook, a
// plain mail through the system's sendmail, and MQTT. None of them waits on
// the event loop: programs and requests run in the background, one at a time
// per channel so that a raised is delivered before its cleared, and a
// channel's failure is a journal line that never shows a secret (the
// webhook's path and its signing secret are left out).

#include "journal.h"
#include "timer.h"

#include <chrono>
#include <deque>
#include <memory>
#include <QByteArray>
#include <QJsonObject>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <vector>

class QNetworkAccessManager;
class QNetworkReply;
class QProcess;

namespace kavo::service {

class MqttBridge;

inline constexpr std::chrono::seconds kAlertCommandTimeout{30};
// Events waiting for a busy channel; more are dropped and said so.
inline constexpr std::size_t kAlertsQueued = 32;
// The error output of a program kept for the journal.
inline constexpr qsizetype kAlertErrorKept = 1000;
inline constexpr std::chrono::seconds kWebhookTransferTimeout{20};

class AlertChannel {
  public:
    virtual ~AlertChannel() = default;
    virtual void send(const QJsonObject& event) = 0;
};

// Runs a program for each event, one at a time: no shell, the event in its
// environment and on its standard input, killed past its time limit, its
// exit status and the start of its error output in the journal.
class ProgramRunner {
  public:
    ProgramRunner(QString label, TimerFactory& timers, Journal& journal, QString who,
                  std::chrono::milliseconds timeout);
    ~ProgramRunner();

    void run(const QString& program, const QStringList& arguments,
             const QProcessEnvironment& environment, const QByteArray& input, const QString& what);

  private:
    struct Job {
        QString program;
        QStringList arguments;
        QProcessEnvironment environment;
        QByteArray input;
        QString what; // "lamp_hours raised"
    };
    void next();
    void finished(const QString& outcome);

    QString m_label; // "alert command /usr/local/bin/notify"
    TimerFactory& m_timers;
    Journal& m_journal;
    QString m_who;
    std::chrono::milliseconds m_timeout;
    std::deque<Job> m_jobs;
    std::unique_ptr<QProcess> m_process;
    std::unique_ptr<Timer> m_limit;
    QByteArray m_errors;
    bool m_killed = false;
};

// --alert-command PROGRAM: KAVO_EVENT, KAVO_NAME, KAVO_STATE, KAVO_DETAIL
// and the JSON on standard input.
class CommandChannel final : public AlertChannel {
  public:
    CommandChannel(QString program, std::chrono::milliseconds timeout, TimerFactory& timers,
                   Journal& journal, QString who);
    void send(const QJsonObject& event) override;

  private:
    QString m_program;
    ProgramRunner m_runner;
};

// The sendmail program: the first on PATH, else /usr/sbin/sendmail or
// /usr/lib/sendmail; empty when there is none.
QString findSendmail();
// The mail `sendmail -t` is given: headers (the recipient among them) and a
// plain text body.
QByteArray alertMail(const QString& address, const QJsonObject& event);

// --alert-mail ADDRESS, through `sendmail -t`.
class MailChannel final : public AlertChannel {
  public:
    MailChannel(QString address, TimerFactory& timers, Journal& journal, QString who);
    void send(const QJsonObject& event) override;

  private:
    QString m_address;
    QString m_sendmail;
    Journal& m_journal;
    QString m_who;
    ProgramRunner m_runner;
};

// A webhook's URL as the journal and complaints show it: without its path,
// query and user, which often hold its token.
QString shownWebhook(const QUrl& url);

// "sha256=HEX": the HMAC-SHA256 of the body with the secret.
QByteArray webhookSignature(const QByteArray& body, const QByteArray& secret);

struct WebhookSettings {
    QUrl url;
    QByteArray secret; // empty: not signed
    // The pauses before each further try.
    std::vector<std::chrono::milliseconds> pauses{std::chrono::seconds(5), std::chrono::seconds(30),
                                                  std::chrono::minutes(2)};
};

// --alert-webhook URL: the JSON by POST, signed in X-Kavo-Signature.
class WebhookChannel final : public AlertChannel {
  public:
    WebhookChannel(WebhookSettings settings, TimerFactory& timers, Journal& journal, QString who);
    ~WebhookChannel() override;
    void send(const QJsonObject& event) override;

  private:
    struct Delivery {
        QByteArray body;
        QString what;
        std::size_t tries = 0;
    };
    void post();
    void answered(QNetworkReply* reply);

    WebhookSettings m_settings;
    Journal& m_journal;
    QString m_who;
    QString m_shown; // the URL without its path: that may hold a token
    std::unique_ptr<QNetworkAccessManager> m_network;
    std::unique_ptr<Timer> m_retry;
    std::deque<Delivery> m_deliveries;
    bool m_posting = false;
};

// MQTT: BASE/NAME/event, not retained.
class MqttAlertChannel final : public AlertChannel {
  public:
    explicit MqttAlertChannel(MqttBridge& bridge) : m_bridge(bridge) {}
    void send(const QJsonObject& event) override;

  private:
    MqttBridge& m_bridge;
};

} // namespace kavo::service
