#pragma once

// The one-line trace of sent or received characters: a leading blank, then one
// token per character, so that control characters and blanks can be seen.

#include <QString>
#include <QStringView>

namespace kavo {

struct Trace {
    QString text;
    // Which legend lines the rendered characters call for.
    bool space = false;
    bool cr = false;
    bool ack = false;
};

Trace renderTrace(QStringView text);

inline const QString kLegendSpace = QStringLiteral("_ :Space Code (0x20)");
inline const QString kLegendCr = QStringLiteral("[CR] :Carriage Return Code (0x0D)");
inline const QString kLegendAck = QStringLiteral("[ACK]  :ACKnowledgemend Code (0x06)");
inline const QString kNoReplyMarker = QStringLiteral(" X X X X");

} // namespace kavo
