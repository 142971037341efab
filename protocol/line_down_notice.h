#pragma once

// What a projector-sharing service says to a client in place of the line
// while its own line to the projector is down, just before it ends the
// connection: one line, NAK, "line down since ", the time in ISO 8601 UTC,
// ": ", the reason, LF. It is never sent while the line is up, so a client
// never takes it for a projector's reply, and a client that does not know it
// sees a connection that ended.

#include <optional>
#include <QByteArray>
#include <QDateTime>
#include <QString>

namespace kavo {

inline constexpr qsizetype kLongestLineDownNotice = 512;

QByteArray lineDownNotice(const QDateTime& since, const QString& reason);

enum class NoticeMatch {
    None,    // not a notice
    Partial, // could still become one
    Whole,   // a notice, up to and with its LF
};
NoticeMatch matchLineDownNotice(const QByteArray& bytes);

// The notice at the start of `bytes` in words for the operator: "the
// service's line to the projector is down since 14:02:11: REASON", the time
// in local time.
std::optional<QString> lineDownText(const QByteArray& bytes);

} // namespace kavo
