// Any reply bytes, to any status read, render to a trace of the expected
// length and decode without fault; a decoded text always begins with a blank.

#include "status_decoders.h"
#include "trace.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <QString>

namespace {

const std::array kCommands{
    QStringLiteral("CR0\r"),         QStringLiteral("CR1\r"), QStringLiteral("CR4\r"),
    QStringLiteral("CR3\r"),         QStringLiteral("CR6\r"), QStringLiteral("CR LAMPSTS\r"),
    QStringLiteral("CR LAMPMODE\r"), QStringLiteral("C00\r"), QString(),
};

qsizetype tokenLength(char16_t c) {
    if (c == 0x06 || c == 0x0A)
        return 7;
    if (c == 0x0D)
        return 6;
    return 2;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const QString& command = kCommands[data[0] % kCommands.size()];
    // Bytes as the port hands them over: one character per byte.
    const QString reply =
        QString::fromLatin1(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    const kavo::Trace trace = kavo::renderTrace(reply);
    qsizetype expected = 1;
    for (const QChar c : reply)
        expected += tokenLength(c.unicode());
    if (trace.text.size() != expected)
        std::abort();
    for (qsizetype split = 0; split <= reply.size(); split += 1 + reply.size() / 8) {
        const QString part = reply.first(split);
        const auto text = kavo::decodeStatus(command, kavo::renderTrace(part).text, part.size());
        if (text && !text->startsWith(QLatin1Char(' ')))
            std::abort();
    }
    return 0;
}
