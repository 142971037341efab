#include "group_actions.h"

#include "building.h"
#include "port_paths.h"

#include <algorithm>
#include <array>
#include <QRandomGenerator>

namespace kavo::service {
namespace {

// Names written out in the journal line of a request; the rest are counted.
constexpr qsizetype kNamesJournaled = 10;
constexpr std::size_t kCorrelationBytes = 16;

QByteArray newCorrelation() {
    std::array<quint32, kCorrelationBytes / sizeof(quint32)> words{};
    QRandomGenerator::system()->fillRange(words.data(), qsizetype(words.size()));
    return QByteArray(reinterpret_cast<const char*>(words.data()), qsizetype(kCorrelationBytes));
}

QString namesShown(const QStringList& names) {
    QString shown = names.first(std::min(names.size(), kNamesJournaled)).join(QStringLiteral(", "));
    if (names.size() > kNamesJournaled)
        shown += QStringLiteral(" and %1 more").arg(names.size() - kNamesJournaled);
    return shown;
}

QString seconds(std::chrono::milliseconds wait) {
    return QString::number(std::chrono::duration_cast<std::chrono::seconds>(wait).count());
}

} // namespace

bool isBuildingAction(const Action& action) {
    const QString& name = action.name;
    return name == QLatin1String("power on") || name == QLatin1String("power off") ||
           name.startsWith(QLatin1String("input ")) ||
           (name.startsWith(QLatin1String("mute ")) &&
            (name.endsWith(QLatin1String(" on")) || name.endsWith(QLatin1String(" off"))));
}

GroupActions::GroupActions(MqttLink& link, TimerFactory& timers, Journal& journal, QString base,
                           const QString& brokerUser, std::chrono::milliseconds resultWait)
    : m_link(link), m_timers(timers), m_journal(journal), m_base(std::move(base)),
      m_responseTopic(newResponseTopic(m_base, brokerUser)), m_resultWait(resultWait) {}

GroupActions::~GroupActions() = default;

void GroupActions::connected() {
    m_link.subscribe(m_responseTopic);
}

GroupActions::Started GroupActions::start(const Action& action, const QStringList& names,
                                          const QString& requester, const QString& who) {
    if (!isBuildingAction(action))
        return {Refusal::BadRequest,
                QStringLiteral("%1 is not asked of a building").arg(escapeControls(action.name))};
    if (names.isEmpty() || std::size_t(names.size()) > kMostProjectors)
        return {Refusal::BadRequest,
                QStringLiteral("name 1 to %1 projectors").arg(kMostProjectors)};
    if (!isRequesterName(requester))
        return {Refusal::BadRequest,
                QStringLiteral("\"%1\" cannot name who asks").arg(escapeControls(requester))};
    if (!m_link.isConnected())
        return {Refusal::NotConnected, QStringLiteral("the broker is not connected")};
    if (m_open.size() >= kMostOpenGroupActions)
        return {Refusal::Busy, QStringLiteral("%1 requests are still open: wait for one to end")
                                   .arg(kMostOpenGroupActions)};
    QStringList asked = names;
    asked.removeDuplicates();
    const QByteArray correlation = newCorrelation();
    auto owned = std::make_unique<Request>(Request{++m_lastId, action.name, requester, who,
                                                   QDateTime::currentDateTimeUtc(),
                                                   GroupTally(asked, true)});
    Request& request = *owned;
    request.limit = m_timers.createTimer();
    request.limit->setInterval(kGroupAnswerWait);
    request.limit->setTickHandler([this, &request] { timeLimit(request); });
    request.limit->setEnabled(true);
    m_open.emplace(correlation, std::move(owned));
    m_journal.write(who, QStringLiteral("building: %1 asked of %2 (request %3)")
                             .arg(action.name, namesShown(asked))
                             .arg(request.id));
    const BrokerAction sent = brokerActionFor(action);
    for (const QString& name : asked)
        m_link.publish(m_base + QLatin1Char('/') + name + QLatin1Char('/') + sent.leaf,
                       sent.payload, MqttRequest{m_responseTopic, correlation, requester});
    return {Refusal::None, {}, toJson(request)};
}

bool GroupActions::take(const QString& topic, const QByteArray& payload,
                        const MqttRequest& request) {
    if (topic != m_responseTopic)
        return false;
    // An answer after its request ended, or to none of ours: nothing waits for it.
    const auto open = m_open.find(request.correlation);
    if (open == m_open.end())
        return true;
    Request& asked = *open->second;
    const std::optional<GroupReply> reply = parseGroupReply(payload);
    if (!reply) {
        m_journal.complain(
            asked.who,
            QStringLiteral("building: ignored an answer to request %1 that is no answer")
                .arg(asked.id),
            u"group answer");
        return true;
    }
    const auto current = asked.tally.replies().find(reply->name);
    // Past the answer wait, one that kept silent stays "no answer".
    if (current == asked.tally.replies().end() ||
        (asked.answerWaitOver && current->second.outcome == GroupOutcome::NoAnswer) ||
        !asked.tally.take(*reply))
        return true;
    endIfDone(asked);
    return true;
}

void GroupActions::refused(const QString& topic, const QByteArray& correlation,
                           const QString& why) {
    const auto open = m_open.find(correlation);
    if (open != m_open.end() && open->second->tally.take(brokerRefusal(m_base, topic, why)))
        endIfDone(*open->second);
}

void GroupActions::timeLimit(Request& request) {
    if (!request.answerWaitOver) {
        request.answerWaitOver = true;
        const std::chrono::milliseconds rest = m_resultWait - kGroupAnswerWait;
        if (rest > std::chrono::milliseconds::zero())
            request.limit->setInterval(rest);
        else
            request.finished = true;
    } else {
        request.finished = true; // those that accepted and are not done stay so
    }
    endIfDone(request);
}

void GroupActions::endIfDone(Request& request) {
    const bool done = std::ranges::all_of(request.tally.replies(), [&request](const auto& entry) {
        const GroupOutcome outcome = entry.second.outcome;
        return isFinal(outcome) || (request.answerWaitOver && outcome == GroupOutcome::NoAnswer);
    });
    request.finished = request.finished || done;
    if (request.finished) {
        request.limit->setEnabled(false);
        // Kept, not destroyed: this may run in the limit's own tick.
        const auto open = std::ranges::find_if(
            m_open, [&request](const auto& entry) { return entry.second.get() == &request; });
        m_ended.push_front(std::move(open->second));
        m_open.erase(open);
        if (m_ended.size() > kKeptGroupActions)
            m_ended.pop_back();
        std::map<GroupOutcome, int> counts;
        for (const auto& [name, reply] : request.tally.replies())
            ++counts[reply.outcome];
        QStringList tally;
        for (const auto& [outcome, count] : counts)
            tally.append(QStringLiteral("%1 %2").arg(count).arg(groupOutcomeWord(outcome)));
        m_journal.write(request.who, QStringLiteral("building: %1 (request %2) ended: %3")
                                         .arg(request.action)
                                         .arg(request.id)
                                         .arg(tally.join(QStringLiteral(", "))));
    }
    if (m_changed)
        m_changed(toJson(request));
}

QJsonObject GroupActions::toJson(const Request& request) const {
    QJsonArray replies;
    for (const auto& [name, reply] : request.tally.replies()) {
        QString detail = reply.detail;
        if (reply.outcome == GroupOutcome::NoAnswer)
            detail = request.answerWaitOver
                         ? QStringLiteral("nothing within %1 s").arg(seconds(kGroupAnswerWait))
                         : QStringLiteral("waiting for an answer");
        else if (reply.outcome == GroupOutcome::Accepted && request.finished)
            detail = QStringLiteral("not done within %1 s").arg(seconds(m_resultWait));
        replies.append(QJsonObject{{QStringLiteral("name"), name},
                                   {QStringLiteral("outcome"), groupOutcomeWord(reply.outcome)},
                                   {QStringLiteral("detail"), detail}});
    }
    return {{QStringLiteral("id"), request.id},
            {QStringLiteral("action"), request.action},
            {QStringLiteral("requester"), request.requester},
            {QStringLiteral("started"), request.started.toString(Qt::ISODateWithMs)},
            {QStringLiteral("replies"), replies},
            {QStringLiteral("finished"), request.finished},
            {QStringLiteral("succeeded"), request.finished && request.tally.succeeded()}};
}

QJsonArray GroupActions::toJson() const {
    std::vector<const Request*> open;
    for (const auto& [correlation, request] : m_open)
        open.push_back(request.get());
    std::ranges::sort(open, std::ranges::greater{}, &Request::id);
    QJsonArray requests;
    for (const Request* request : open)
        requests.append(toJson(*request));
    for (const auto& request : m_ended)
        requests.append(toJson(*request));
    return requests;
}

} // namespace kavo::service
