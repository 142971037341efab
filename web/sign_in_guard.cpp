#include "sign_in_guard.h"

#include "api_types.h"
#include "journal.h"
#include "port_paths.h"

#include <algorithm>

namespace kavo::web {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// As long as an account's name can be: longer ones are no account's, and
// they neither take more memory nor fill the journal.
constexpr qsizetype kLongestName = 64;

QString nameKey(const QString& name) {
    return name.left(kLongestName);
}

seconds pauseAfter(int bursts) {
    seconds pause = kFirstPause;
    for (int burst = 1; burst < bursts && pause < kLongestPause; ++burst)
        pause *= 2;
    return std::min(pause, kLongestPause);
}

} // namespace

SignInGuard::SignInGuard(TimerFactory& timers, service::Journal& journal)
    : m_timers(timers), m_journal(journal),
      m_pauseEnds(timers.createTimer()), m_names{{},
                                                 kWrongPerName,
                                                 QStringLiteral("sign-in for %1")},
      m_addresses{{}, kWrongPerAddress, QStringLiteral("sign-in from %1")} {
    m_pauseEnds->setTickHandler([this] { openEnded(); });
}

SignInGuard::~SignInGuard() = default;

std::optional<seconds> SignInGuard::pausedFor(const QString& name, const QHostAddress& address) {
    milliseconds longest{0};
    for (const Run* run :
         {current(m_names, nameKey(name)), current(m_addresses, peerText(address))}) {
        if (run && run->pausedUntil)
            longest = std::max(longest, *run->pausedUntil - m_timers.now());
    }
    if (longest <= milliseconds{0})
        return std::nullopt;
    return std::chrono::ceil<seconds>(longest);
}

void SignInGuard::failed(const QString& name, const QHostAddress& address) {
    const QString who = QStringLiteral("http:") + peerText(address);
    const bool namePaused = count(m_names, nameKey(name), who);
    const bool addressPaused = count(m_addresses, peerText(address), who);
    const QString shown = escapeControls(nameKey(name));
    m_journal.complain(who,
                       namePaused || addressPaused
                           ? QStringLiteral("sign-in for %1 while paused, not checked").arg(shown)
                           : QStringLiteral("wrong password for %1").arg(shown),
                       u"wrong password");
}

void SignInGuard::succeeded(const QString& name, const QHostAddress&) {
    const QString key = nameKey(name);
    if (current(m_names, key))
        m_names.runs.erase(key);
}

bool SignInGuard::count(Followed& followed, const QString& key, const QString& who) {
    Run* run = current(followed, key);
    if (!run) {
        makeRoom(followed);
        run = &followed.runs[key];
    }
    const milliseconds now = m_timers.now();
    run->who = who;
    run->lastWrong = now;
    if (run->pausedUntil) {
        ++run->attemptsPaused;
        return true;
    }
    if (++run->wrong < followed.limit)
        return false;
    const seconds pause = pauseAfter(++run->bursts);
    run->pausedUntil = now + pause;
    run->attemptsPaused = 0;
    m_journal.write(who, QStringLiteral("%1 paused for %2 s after %3 wrong passwords")
                             .arg(followed.subject.arg(escapeControls(key)))
                             .arg(pause.count())
                             .arg(run->wrong));
    run->wrong = 0;
    if (!m_pauseEnds->isEnabled() || *run->pausedUntil < m_nextEnd) {
        m_nextEnd = *run->pausedUntil;
        m_pauseEnds->setInterval(pause);
        m_pauseEnds->setEnabled(true);
    }
    return false;
}

SignInGuard::Run* SignInGuard::current(Followed& followed, const QString& key) {
    const auto found = followed.runs.find(key);
    if (found == followed.runs.end())
        return nullptr;
    Run& run = found->second;
    const milliseconds now = m_timers.now();
    if (run.pausedUntil && *run.pausedUntil <= now)
        endPause(followed, key, run);
    if (!run.pausedUntil && now - run.lastWrong >= kWrongForgotten) {
        followed.runs.erase(found);
        return nullptr;
    }
    return &run;
}

void SignInGuard::openEnded() {
    const milliseconds now = m_timers.now();
    std::optional<milliseconds> next;
    for (Followed* followed : {&m_names, &m_addresses}) {
        for (auto& [key, run] : followed->runs) {
            if (run.pausedUntil && *run.pausedUntil <= now)
                endPause(*followed, key, run);
            else if (run.pausedUntil)
                next = std::min(next.value_or(*run.pausedUntil), *run.pausedUntil);
        }
    }
    m_pauseEnds->setEnabled(false);
    if (next) {
        m_nextEnd = *next;
        m_pauseEnds->setInterval(*next - now);
        m_pauseEnds->setEnabled(true);
    }
}

void SignInGuard::endPause(const Followed& followed, const QString& key, Run& run) {
    m_journal.write(run.who, QStringLiteral("%1 open again; %2 attempt%3 during the pause")
                                 .arg(followed.subject.arg(escapeControls(key)))
                                 .arg(run.attemptsPaused)
                                 .arg(run.attemptsPaused == 1 ? "" : "s"));
    run.pausedUntil.reset();
    run.attemptsPaused = 0;
}

void SignInGuard::makeRoom(Followed& followed) {
    if (followed.runs.size() < kMostFollowed)
        return;
    // The one that would be let go soonest anyway: a paused run stays longest.
    const auto keptUntil = [](const auto& entry) {
        return std::max(entry.second.lastWrong, entry.second.pausedUntil.value_or(milliseconds{0}));
    };
    const auto oldest = std::ranges::min_element(followed.runs, {}, keptUntil);
    if (oldest->second.pausedUntil)
        endPause(followed, oldest->first, oldest->second);
    followed.runs.erase(oldest);
}

} // namespace kavo::web
