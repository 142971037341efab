#pragma once

// Who is signed in to the web page: a session per sign-in, named by a
// cookie of 256 random bits and carrying its own CSRF token, ended by
// signing out or by staying idle too long. Bounded: past the limits the
// least recently used session makes room.

#include "accounts.h"
#include "timer.h"

#include <chrono>
#include <cstddef>
#include <map>
#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QString>

namespace kavo::web {

inline constexpr std::chrono::hours kSessionIdle{8};
inline constexpr std::size_t kMostSessions = 1024;
inline constexpr std::size_t kMostSessionsPerAccount = 32;

struct Session {
    QByteArray id;        // 256 random bits as 64 hex characters: the cookie's value
    QByteArray csrfToken; // 256 random bits as 64 hex characters
    QString name;
    service::Role role = service::Role::Viewer;
    QHostAddress address; // where it was signed in from
    std::chrono::milliseconds lastUse{0};
};

class Sessions {
  public:
    explicit Sessions(TimerFactory& timers, std::chrono::hours idle = kSessionIdle);

    const Session& create(const QString& name, service::Role role, const QHostAddress& address);
    // The session of a cookie value, its idle clock started again; nullptr
    // when unknown or idle too long (then forgotten).
    const Session* use(QByteArrayView cookieValue);
    // Whether a state-changing request's X-CSRF-Token is the session's
    // (compared in constant time).
    static bool csrfMatches(const Session& session, QByteArrayView token);
    void end(QByteArrayView cookieValue);
    // Every session of the account: it was removed or its role changed.
    void endAllOf(const QString& name);
    // Sessions held, including any idle too long that were not swept yet.
    std::size_t count() const { return m_sessions.size(); }

  private:
    using Entries = std::map<QByteArray, Session>; // by the hash of the id
    bool expired(const Session& session) const;
    Entries::iterator find(QByteArrayView cookieValue);
    // Ends the least recently used of the sessions `among` accepts.
    template <typename Among> void endLeastRecent(Among among);

    TimerFactory& m_timers;
    std::chrono::milliseconds m_idle;
    Entries m_sessions;
};

} // namespace kavo::web
