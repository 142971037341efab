#pragma once

#include "line_constants.h"

#include <chrono>
#include <QtGlobal>

namespace kavo::cli {

using std::chrono::milliseconds;

// How long a command waits for its reply unless --timeout says otherwise: the
// panel's reply window after start-up.
inline constexpr milliseconds kDefaultReplyWindow = kStartUpReplyWindow;
inline constexpr milliseconds kLongestReplyWindow{60000};

// A port lost sooner than this after it opened, before any reply, was closed
// by its far end at once: it was never usable.
inline constexpr milliseconds kClosedAtOnce{150};

// Longest line read from standard input: room for a catalogue entry with its
// description; anything longer is not a command line.
inline constexpr qsizetype kMaxInputLine = 1024;

// Exit statuses; when several exchanges fail, no reply outranks a bad one.
// 1 also stands for standard input that cannot be read and results that
// cannot be written.
enum ExitStatus : int {
    kExitOk = 0,
    kExitUsage = 1,
    kExitPort = 2,
    kExitNoReply = 3,
    kExitBadReply = 4,
    kExitNotReached = 5,  // power --wait: the projector did not get there
    kExitNotOnBroker = 6, // --broker status: a projector unknown there or offline
    kExitNotAllDone = 7,  // a verb with --broker: a projector refused, failed or did not answer
};

// --broker: the retained messages are taken until none came for a moment,
// at most this long in all (also the longest wait for the broker to answer).
inline constexpr milliseconds kBrokerQuiet{500};
inline constexpr milliseconds kBrokerLongest{5000};
// A verb with --broker: how long each projector's service has to accept or
// refuse; what has not answered by then counts as no answer.
inline constexpr milliseconds kAnswerWithin{5000};

} // namespace kavo::cli
