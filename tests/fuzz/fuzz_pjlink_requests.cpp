// PJLink's requests of either class on any bytes and any known state: an answer is always one
// line of a request's length, the commands come only from the projector's
// actions, and nothing is sent or read for the projector while its line is down.

#include "pjlink_requests.h"
#include "projector_vocabulary.h"
#include "status_decoders.h"
#include "trace.h"

#include <cstdint>
#include <cstdlib>

using namespace kavo;
using namespace kavo::service;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    static const char* const kPowerReplies[] = {"00", "80", "40", "20", "10", "08", "21", ""};
    const char* power = kPowerReplies[data[0] % std::size(kPowerReplies)];
    const bool lineOpen = (data[0] & 0x80) != 0;
    const QByteArray request(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));

    ProjectorState state;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (*power) {
        Exchange read{
            QStringLiteral("CR0"), QLatin1String(power) + QLatin1Char('\r'), {}, {}, true, {},
            ReplyKind::Answered};
        read.status =
            decodeStatus(QStringLiteral("CR0\r"), renderTrace(read.reply).text, read.reply.size());
        state.update(read, now);
    }
    PjlinkFacts facts{state,
                      lineOpen,
                      [](StateField) { return std::chrono::milliseconds(30000); },
                      now,
                      {},
                      (data[0] & 0x40) != 0,
                      {},
                      QStringLiteral("hall-a"),
                      QStringLiteral("QV-TN310")};
    // A Class 1 or 2 service, asked with either header.
    facts.pjlinkClass = (data[0] & 0x20) != 0 ? 2 : 1;
    const char header = (data[0] & 0x10) != 0 ? '2' : '1';
    const PjlinkDecision decision = decidePjlink(request.left(4), request.mid(5), facts, header);
    if (decision.result.isEmpty() || decision.result.size() > 64 ||
        decision.result.contains('\r') || decision.result.contains('\n'))
        std::abort();
    for (const QString& command : decision.commands) {
        const bool known = std::ranges::any_of(
            actions(), [&](const Action& action) { return action.commands.contains(command); });
        if (!known)
            std::abort();
    }
    if (!lineOpen && (!decision.commands.isEmpty() || !decision.reads.empty()))
        std::abort();
    return 0;
}
