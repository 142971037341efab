#pragma once

// The commands kavoctl sends: checked one by one as they are given, from the
// arguments or a line at a time from standard input ("-").

#include "command_check.h"

#include <optional>
#include <QIODevice>
#include <QString>
#include <QStringList>
#include <QStringView>

namespace kavo::cli {

// Commands in the order given; "-" stands for the lines of standard input,
// each trimmed, where blank lines and "#" comments (at the start of a line or
// after a blank) are skipped. Input that is not open counts as closed. Input is read only when the
// next command is due, so a long or endless input is never held whole.
class CommandSource {
  public:
    CommandSource(QStringList arguments, QIODevice& input);

    // The first fault among the commands given as arguments, before any is sent.
    QString argumentError() const;

    struct Next {
        QString command; // empty at the end or on an error
        QString error;   // "standard input, line 3: ...", or empty
    };
    Next next();

  private:
    std::optional<Next> nextInputLine();

    QStringList m_arguments;
    qsizetype m_argument = 0;
    QIODevice& m_input;
    bool m_reading = false;
    int m_line = 0;
};

} // namespace kavo::cli
