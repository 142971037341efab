#pragma once

// Slows down guessing passwords: a burst of wrong passwords for one name,
// or from one address for any names, pauses sign-in for that name or from
// that address, longer with each further burst. Unknown names are followed
// like real ones, so the pauses tell no one which names exist. A burst is one
// journal line when it starts and one when its pause ends.

#include "timer.h"

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <QHostAddress>
#include <QString>

namespace kavo::service {
class Journal;
}

namespace kavo::web {

inline constexpr int kWrongPerName = 5;
inline constexpr int kWrongPerAddress = 20;
inline constexpr std::chrono::seconds kFirstPause{30};
inline constexpr std::chrono::seconds kLongestPause{3600};
// A name or address without a wrong password for this long starts afresh.
inline constexpr std::chrono::hours kWrongForgotten{24};
inline constexpr std::size_t kMostFollowed = 4096; // names, and addresses apart

class SignInGuard {
  public:
    SignInGuard(TimerFactory& timers, service::Journal& journal);
    ~SignInGuard();
    SignInGuard(const SignInGuard&) = delete;
    SignInGuard& operator=(const SignInGuard&) = delete;

    // How long sign-in stays closed for this name from this address
    // (nullopt: open). Asked before the password is checked.
    std::optional<std::chrono::seconds> pausedFor(const QString& name, const QHostAddress& address);
    // Told of each sign-in's outcome (a sign-in attempted while paused counts
    // as wrong and is not checked).
    void failed(const QString& name, const QHostAddress& address);
    // Ends the name's run of bursts. Not the address's: the owner of one
    // account could otherwise clear it between guesses at others.
    void succeeded(const QString& name, const QHostAddress& address);

  private:
    struct Run {
        int wrong = 0;  // since the last pause
        int bursts = 0; // pauses so far
        int attemptsPaused = 0;
        std::optional<std::chrono::milliseconds> pausedUntil;
        std::chrono::milliseconds lastWrong{0};
        QString who; // the journal's who for its lines: the address last seen
    };
    struct Followed {
        std::map<QString, Run> runs;
        int limit;
        QString subject; // "for %1" or "from %1"
    };

    // Counts a wrong password; whether the key was paused.
    bool count(Followed& followed, const QString& key, const QString& who);
    // The key's run, its pause ended if over; nullptr when not followed.
    Run* current(Followed& followed, const QString& key);
    // Writes the ends of the pauses that are over; arms the timer for the next.
    void openEnded();
    void endPause(const Followed& followed, const QString& key, Run& run);
    void makeRoom(Followed& followed);

    TimerFactory& m_timers;
    service::Journal& m_journal;
    std::unique_ptr<Timer> m_pauseEnds;
    std::chrono::milliseconds m_nextEnd{0}; // when m_pauseEnds is due
    Followed m_names;
    Followed m_addresses;
};

} // namespace kavo::web
