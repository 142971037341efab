#pragma once

// Asking projectors of the building to do something, from this service on
// behalf of someone signed in to its page: one message per projector through
// the broker, the answers tallied per projector on this service's own
// response topic, each part ended by its time limit. The page is told of
// every change, and the last requests stay listed after they end.
//
// Bounded whatever the broker brings: at most kMostOpenGroupActions requests
// at once, each to at most kMostProjectors names; answers for a request not
// open, or from a projector not asked, are dropped.

#include "group_request.h"
#include "journal.h"
#include "mqtt_link.h"
#include "timer.h"

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace kavo::service {

// A projector that has neither accepted nor refused by then is "no answer".
inline constexpr std::chrono::seconds kGroupAnswerWait{5};
inline constexpr std::size_t kMostOpenGroupActions = 16;
// Ended requests kept for a page that opens later.
inline constexpr std::size_t kKeptGroupActions = 20;

// Power on or off, an input, a mute on or off: what a building's projectors
// are asked together.
bool isBuildingAction(const Action& action);

class GroupActions {
  public:
    // Told every request as it changes: its toJson() object.
    using Changed = std::function<void(const QJsonObject& request)>;

    // `base` is the topics' base every service shares ("kavo"); `brokerUser`
    // this service's broker user, so that an ACL can keep its answers to it;
    // `resultWait` how long a projector that accepted has to be done.
    GroupActions(MqttLink& link, TimerFactory& timers, Journal& journal, QString base,
                 const QString& brokerUser, std::chrono::milliseconds resultWait);
    ~GroupActions();

    // Subscribes the response topic; at every connection, as a broker that
    // lost its session has forgotten it.
    void connected();
    // A message from the broker; false when it is not on the response topic.
    bool take(const QString& topic, const QByteArray& payload, const MqttRequest& request);

    // The broker would not take the request's message on `topic` (its ACL):
    // that projector refused, as the broker says.
    void refused(const QString& topic, const QByteArray& correlation, const QString& why);

    enum class Refusal { None, NotConnected, Busy, BadRequest };
    struct Started {
        Refusal refusal = Refusal::None;
        QString why;         // with a refusal
        QJsonObject request; // without: the request as toJson() gives it
    };
    // Asks each of `names` (the building's projectors) to do `action`, as
    // `requester` ("alice@hall-a"); `who` is journaled as the one who asked.
    Started start(const Action& action, const QStringList& names, const QString& requester,
                  const QString& who);

    // The requests open now and the last ones ended, newest first.
    QJsonArray toJson() const;
    void setChanged(Changed changed) { m_changed = std::move(changed); }
    const QString& responseTopic() const { return m_responseTopic; }

  private:
    struct Request {
        qint64 id = 0;
        QString action;
        QString requester;
        QString who; // journaled as the one who asked
        QDateTime started;
        GroupTally tally;
        bool answerWaitOver = false; // the silent ones are "no answer" for good
        bool finished = false;
        std::unique_ptr<Timer> limit;
    };
    QJsonObject toJson(const Request& request) const;
    void timeLimit(Request& request);
    void endIfDone(Request& request);

    MqttLink& m_link;
    TimerFactory& m_timers;
    Journal& m_journal;
    QString m_base;
    QString m_responseTopic;
    std::chrono::milliseconds m_resultWait;
    std::map<QByteArray, std::unique_ptr<Request>> m_open; // by correlation
    std::deque<std::unique_ptr<Request>> m_ended;          // newest first
    qint64 m_lastId = 0;
    Changed m_changed;
};

} // namespace kavo::service
