#include "sessions.h"

#include "secret_bits.h"

namespace kavo::web {
namespace {

constexpr std::size_t kSecretBytes = 32;

} // namespace

Sessions::Sessions(TimerFactory& timers, std::chrono::hours idle)
    : m_timers(timers), m_idle(idle) {}

const Session& Sessions::create(const QString& name, service::Role role,
                                const QHostAddress& address) {
    std::erase_if(m_sessions, [this](const auto& entry) { return expired(entry.second); });
    if (std::ranges::count(m_sessions, name, [](const auto& entry) { return entry.second.name; }) >=
        std::ptrdiff_t(kMostSessionsPerAccount))
        endLeastRecent([&](const Session& session) { return session.name == name; });
    if (m_sessions.size() >= kMostSessions)
        endLeastRecent([](const Session&) { return true; });
    Session session{randomHex(kSecretBytes), randomHex(kSecretBytes), name, role, address,
                    m_timers.now()};
    QByteArray key = secretHash(session.id);
    return m_sessions.insert_or_assign(std::move(key), std::move(session)).first->second;
}

const Session* Sessions::use(QByteArrayView cookieValue) {
    const auto found = find(cookieValue);
    if (found == m_sessions.end())
        return nullptr;
    if (expired(found->second)) {
        m_sessions.erase(found);
        return nullptr;
    }
    found->second.lastUse = m_timers.now();
    return &found->second;
}

bool Sessions::csrfMatches(const Session& session, QByteArrayView token) {
    return sameSecret(session.csrfToken, token);
}

void Sessions::end(QByteArrayView cookieValue) {
    if (const auto found = find(cookieValue); found != m_sessions.end())
        m_sessions.erase(found);
}

void Sessions::endAllOf(const QString& name) {
    std::erase_if(m_sessions, [&](const auto& entry) { return entry.second.name == name; });
}

bool Sessions::expired(const Session& session) const {
    return m_timers.now() - session.lastUse >= m_idle;
}

Sessions::Entries::iterator Sessions::find(QByteArrayView cookieValue) {
    // Looked up by the hash, so the map's comparisons tell nothing of the id;
    // the id itself is then compared in constant time.
    if (cookieValue.size() != qsizetype(2 * kSecretBytes))
        return m_sessions.end();
    const auto found = m_sessions.find(secretHash(cookieValue));
    if (found == m_sessions.end() || !sameSecret(found->second.id, cookieValue))
        return m_sessions.end();
    return found;
}

template <typename Among> void Sessions::endLeastRecent(Among among) {
    auto oldest = m_sessions.end();
    for (auto at = m_sessions.begin(); at != m_sessions.end(); ++at) {
        if (among(at->second) &&
            (oldest == m_sessions.end() || at->second.lastUse < oldest->second.lastUse))
            oldest = at;
    }
    if (oldest != m_sessions.end())
        m_sessions.erase(oldest);
}

} // namespace kavo::web
