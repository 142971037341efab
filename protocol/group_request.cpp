#include "group_request.h"

#include <algorithm>
#include <array>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>

namespace kavo {
namespace {

constexpr qsizetype kLongestDetail = 200;
const QString kPowerLeaf = QStringLiteral("power/set");
const QString kActionLeaf = QStringLiteral("action");

constexpr std::array<std::pair<GroupOutcome, const char*>, 5> kOutcomeWords{{
    {GroupOutcome::NoAnswer, "no answer"},
    {GroupOutcome::Accepted, "accepted"},
    {GroupOutcome::Refused, "refused"},
    {GroupOutcome::Reached, "reached"},
    {GroupOutcome::NotReached, "not reached"},
}};

bool isPlainLevel(const QString& level) {
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9._-]{1,64}$"));
    return plain.match(level).hasMatch();
}

} // namespace

BrokerAction brokerActionFor(const Action& action) {
    if (action.name == QLatin1String("power on"))
        return {kPowerLeaf, "ON"};
    if (action.name == QLatin1String("power off"))
        return {kPowerLeaf, "OFF"};
    return {kActionLeaf, action.name.toUtf8()};
}

const Action* actionForBroker(QStringView leaf, const QString& payload) {
    if (leaf == kPowerLeaf) {
        if (payload.compare(QLatin1String("ON"), Qt::CaseInsensitive) == 0)
            return findAction(u"power on");
        if (payload.compare(QLatin1String("OFF"), Qt::CaseInsensitive) == 0)
            return findAction(u"power off");
        return nullptr;
    }
    return leaf == kActionLeaf ? findAction(payload) : nullptr;
}

QString newResponseTopic(const QString& base, const QString& brokerUser) {
    QString token;
    for (int n = 0; n < 4; ++n)
        token += QStringLiteral("%1").arg(QRandomGenerator::system()->generate(), 8, 16,
                                          QLatin1Char('0'));
    return base + QStringLiteral("/_replies/") +
           (isPlainLevel(brokerUser) ? brokerUser + QLatin1Char('/') : QString()) + token;
}

bool isResponseTopic(const QString& base, const QString& topic) {
    const QString prefix = base + QStringLiteral("/_replies/");
    return topic.startsWith(prefix) && topic.size() > prefix.size() && topic.size() <= 256 &&
           !topic.contains(QLatin1Char('+')) && !topic.contains(QLatin1Char('#')) &&
           !topic.contains(QLatin1Char('\0'));
}

bool isRequesterName(const QString& name) {
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9._@:-]{1,64}$"));
    return plain.match(name).hasMatch();
}

QString groupOutcomeWord(GroupOutcome outcome) {
    for (const auto& [known, word] : kOutcomeWords) {
        if (known == outcome)
            return QLatin1String(word);
    }
    return {};
}

bool isFinal(GroupOutcome outcome) {
    return outcome == GroupOutcome::Refused || outcome == GroupOutcome::Reached ||
           outcome == GroupOutcome::NotReached;
}

GroupReply brokerRefusal(const QString& base, const QString& topic, const QString& why) {
    const QString prefix = base + QLatin1Char('/');
    return {topic.startsWith(prefix) ? topic.mid(prefix.size()).section(QLatin1Char('/'), 0, 0)
                                     : QString(),
            GroupOutcome::Refused, QStringLiteral("the broker would not pass it on: %1").arg(why)};
}

QByteArray groupReplyPayload(const GroupReply& reply) {
    return QJsonDocument(QJsonObject{{QStringLiteral("name"), reply.name},
                                     {QStringLiteral("outcome"), groupOutcomeWord(reply.outcome)},
                                     {QStringLiteral("detail"), reply.detail}})
        .toJson(QJsonDocument::Compact);
}

std::optional<GroupReply> parseGroupReply(const QByteArray& payload) {
    const QJsonObject object = QJsonDocument::fromJson(payload).object();
    GroupReply reply;
    reply.name = object.value(QStringLiteral("name")).toString();
    reply.detail = object.value(QStringLiteral("detail")).toString().left(kLongestDetail);
    const QString word = object.value(QStringLiteral("outcome")).toString();
    for (const auto& [outcome, known] : kOutcomeWords) {
        if (outcome != GroupOutcome::NoAnswer && word == QLatin1String(known) &&
            !reply.name.isEmpty()) {
            reply.outcome = outcome;
            return reply;
        }
    }
    return std::nullopt;
}

GroupTally::GroupTally(const QStringList& names, bool untilDone) : m_untilDone(untilDone) {
    for (const QString& name : names)
        m_replies[name] = GroupReply{name, GroupOutcome::NoAnswer, {}};
}

bool GroupTally::take(const GroupReply& reply) {
    const auto found = m_replies.find(reply.name);
    if (found == m_replies.end() || isFinal(found->second.outcome) ||
        reply.outcome == GroupOutcome::NoAnswer)
        return false;
    found->second = reply;
    return true;
}

bool GroupTally::ended(const GroupReply& reply) const {
    return isFinal(reply.outcome) || (!m_untilDone && reply.outcome == GroupOutcome::Accepted);
}

bool GroupTally::finished() const {
    return std::ranges::all_of(m_replies,
                               [this](const auto& entry) { return ended(entry.second); });
}

bool GroupTally::succeeded() const {
    return std::ranges::all_of(m_replies, [this](const auto& entry) {
        const GroupOutcome outcome = entry.second.outcome;
        return outcome == GroupOutcome::Reached ||
               (!m_untilDone && outcome == GroupOutcome::Accepted);
    });
}

} // namespace kavo
