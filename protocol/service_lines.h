#pragma once

// The lines a projector-sharing service and its clients exchange beside the
// projector's own bytes, each starting with NAK, which no command and no
// reply of this projector holds:
//
// - What the service says in place of the line while its own line to the
//   projector is down, just before it ends the connection: NAK, "line down
//   since ", the time in ISO 8601 UTC, ": ", the reason, LF. It is never sent
//   while the line is up, so a client never takes it for a projector's reply,
//   and a client that does not know it sees a connection that ended.
// - A client's request to the service itself, NAK, its name, CR ("state"),
//   and the service's answer, NAK, one JSON object, LF. Only a client that
//   knows it talks to a service asks: a network serial server would pass
//   the request on to the projector.

#include <optional>
#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
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

inline constexpr char kServiceLineStart = '\x15';
inline constexpr qsizetype kLongestServiceAnswer = 64 * 1024;

QByteArray serviceRequest(const QString& name);
QByteArray serviceAnswer(const QJsonObject& answer);
// The answer at the start of `bytes`: nullopt while it may still come whole
// (`complete` false), or when it is none (`complete` true).
std::optional<QJsonObject> takeServiceAnswer(const QByteArray& bytes, bool& complete);

} // namespace kavo
