#pragma once

// Asking many projectors at once through an MQTT broker, and telling how each
// answered. A request is one MQTT 5 message per projector on the topic of its
// action (BASE/NAME/power/set with ON or OFF, BASE/NAME/action with any other
// action's name), with a response topic under BASE/_replies/, a correlation
// and the requester's name ("alice@hall-a") as the user property
// "requester". Each service answers on the response topic with the same
// correlation: first accepted or refused, then, once done, reached or not
// reached. Whoever asked tallies the answers per projector; what has not
// answered by its time limit is "no answer".

#include "projector_vocabulary.h"

#include <map>
#include <optional>
#include <QByteArray>
#include <QString>
#include <QStringList>

namespace kavo {

// Where an action goes under BASE/NAME/, and what it carries.
struct BrokerAction {
    QString leaf; // "power/set" or "action"
    QByteArray payload;
};
BrokerAction brokerActionFor(const Action& action);
// The action a message on `leaf` asks for; null when the payload names none.
const Action* actionForBroker(QStringView leaf, const QString& payload);

// Where the answers to a requester go: BASE/_replies/[USER/]TOKEN, TOKEN a
// fresh random one, USER the broker user (so that an ACL can keep each
// user's answers to that user) when it is a plain topic level.
QString newResponseTopic(const QString& base, const QString& brokerUser);
// Whether a response topic is one a service may answer on: under
// BASE/_replies/ and without wildcards, so that no requester can make a
// service publish anywhere else.
bool isResponseTopic(const QString& base, const QString& topic);
// Whether a requester's name may be journaled as it stands: 1 to 64 of
// letters, digits and "._@:-".
bool isRequesterName(const QString& name);

enum class GroupOutcome { NoAnswer, Accepted, Refused, Reached, NotReached };
// "no answer", "accepted", "refused", "reached", "not reached"
QString groupOutcomeWord(GroupOutcome outcome);
// Refused, reached and not reached end a projector's part.
bool isFinal(GroupOutcome outcome);

struct GroupReply {
    QString name; // the projector that answers
    GroupOutcome outcome = GroupOutcome::NoAnswer;
    QString detail; // "standby", "the line is down", "no such action"
};
// A request the broker would not pass on (MQTT 5's acknowledgement with a
// failure reason) as that projector's refusal; `topic` is BASE/NAME/LEAF.
GroupReply brokerRefusal(const QString& base, const QString& topic, const QString& why);
// {"name": NAME, "outcome": WORD, "detail": TEXT}
QByteArray groupReplyPayload(const GroupReply& reply);
// Empty for anything else, a "no answer" among them.
std::optional<GroupReply> parseGroupReply(const QByteArray& payload);

// One request's answers, per projector asked.
class GroupTally {
  public:
    // `untilDone`: a projector's part ends when it is done, not when it accepts.
    GroupTally(const QStringList& names, bool untilDone);

    // False for a projector not asked, or an answer that would go back (an
    // accepted after its result).
    bool take(const GroupReply& reply);
    // Every projector's part has ended.
    bool finished() const;
    // Every projector did what was asked: reached, or accepted when not
    // waiting until done.
    bool succeeded() const;
    // By name; "no answer" for those still silent.
    const std::map<QString, GroupReply>& replies() const { return m_replies; }

  private:
    bool ended(const GroupReply& reply) const;

    std::map<QString, GroupReply> m_replies;
    bool m_untilDone;
};

} // namespace kavo
