#pragma once

// Whether a text is a command to send: the same check for every program that
// takes command text from a person or a script (kavoctl's arguments and
// input, a service's MQTT commands).

#include <QString>
#include <QStringView>

namespace kavo {

// Longest command text that is sent, without its CR.
inline constexpr qsizetype kLongestCommand = 255;

struct CheckedCommand {
    QString command; // the text that goes on the line, without its CR
    QString error;   // why the text is no command; empty when it is one
};

// As in the console, text from the first "[" on (a trailing "[CR]" and any
// description) is not sent. The rest must be 1 to 255 printable ASCII characters.
CheckedCommand checkCommand(QStringView text);

} // namespace kavo
