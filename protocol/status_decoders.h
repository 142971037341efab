#pragma once

// Turns the reply to one of the seven status reads into a plain status text.
// Decoding keys on the last command sent from the panel and reads the reply
// trace as shown; the lamp-time and temperature reads also need the exact
// length of the receive buffer.

#include <optional>
#include <QString>
#include <QStringView>

namespace kavo {

// The new status text, or nullopt when nothing matches (the text stays).
std::optional<QString> decodeStatus(QStringView curCmd, QStringView trace, qsizetype bufferLength);

// The length of a whole reply to a status read, its CR included, where every
// reply to it has the same length (all but the lamp mode read). The panel
// decodes by the texts alone; a reply of another length is malformed.
std::optional<qsizetype> statusReplyLength(QStringView curCmd);

// Whether a command line (text and CR) is one of the seven status reads.
bool isStatusRead(QStringView curCmd);

} // namespace kavo
