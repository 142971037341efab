#pragma once

// One exchange in words, the same for every program that reports exchanges:
// its outcome ("answered", "no answer" ...), a one-line account of what went
// wrong, and the JSON object scripts read.

#include "exchanger.h"

#include <chrono>
#include <QJsonObject>
#include <QString>

namespace kavo {

// Nothing came back: no reply within the window, or the line went away.
bool noReply(ReplyKind kind);

// "answered", "no answer", "line lost", "refused", "unfinished", "overflow",
// "undecoded".
QString outcomeWord(ReplyKind kind);

// What went wrong in plain words; empty when the reply is a proper answer.
QString exchangeProblem(const Exchange& exchange, std::chrono::milliseconds window);

// command, reply, trace, decoded (null unless decoded), answered, outcome.
QJsonObject exchangeToJson(const Exchange& exchange);

} // namespace kavo
