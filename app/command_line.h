#pragma once

// The panel's own command line: --help and --version, nothing else. It is read
// twice: on the program's arguments before any window exists, so that help
// and version need no display, and again once QApplication has taken out its
// own options (-platform, -style, ...), when anything left over is an error.

#include <QString>
#include <QStringList>

namespace kavo {

struct CommandLine {
    enum class Outcome {
        RunPanel, // nothing asked of the command line itself
        Answered, // help or version: `text` on stdout, exit 0
        Refused,  // `text` on stderr, exit 1
    };
    Outcome outcome = Outcome::RunPanel;
    QString text;
    int exitCode = 0;
};

// arguments[0] is the program name. Help and version are answered whatever
// else is given, so Qt's options may stand beside them.
CommandLine readCommandLine(const QStringList& arguments);

} // namespace kavo
