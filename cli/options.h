#pragma once

// kavoctl's command line: a subcommand first (send, status, list, ports),
// then its arguments, with options anywhere before a "--".

#include <chrono>
#include <cstdint>
#include <optional>
#include <QString>
#include <QStringList>

namespace kavo::cli {

enum class Subcommand { Send, Status, List, Ports };

struct Invocation {
    Subcommand subcommand = Subcommand::Send;
    std::optional<int> port;                 // --port, else the panel's stored port
    std::optional<std::uint8_t> baudCode;    // --baud, else the panel's stored code
    QString device;                          // --device: a path instead of a port number
    std::chrono::milliseconds replyWindow{}; // --timeout
    bool json = false;
    bool quiet = false;
    QStringList arguments; // the commands of send, the words of list
};

struct ParsedArguments {
    std::optional<Invocation> invocation; // empty: print `text` and leave with `exitCode`
    QString text;                         // help or version (stdout), or one line of error
    int exitCode = 0;
};

// arguments[0] is the program name.
ParsedArguments parseArguments(const QStringList& arguments);

} // namespace kavo::cli
