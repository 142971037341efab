#include "trace.h"

namespace kavo {

Trace renderTrace(QStringView text) {
    Trace trace;
    trace.text.reserve(1 + 2 * text.size());
    trace.text += QLatin1Char(' ');
    for (const QChar ch : text) {
        const char16_t code = ch.unicode();
        if (code == 0x06) {
            trace.text += QLatin1String(" [ACK] ");
            trace.ack = true;
        } else if (code == 0x0D) {
            trace.text += QLatin1String(" [CR] ");
            trace.cr = true;
        } else if (code == 0x0A) {
            trace.text += QLatin1String(" [LF]  ");
        } else if (code == 0x20) {
            trace.text += QLatin1String("_ ");
            trace.space = true;
        } else if (code < 0x20 || code > 0x7A) {
            trace.text += QLatin1String("? ");
        } else {
            trace.text += ch;
            trace.text += QLatin1Char(' ');
        }
    }
    return trace;
}

} // namespace kavo
