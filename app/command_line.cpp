#include "command_line.h"

#include "kavo_version.h"

#include <QCommandLineParser>

namespace kavo {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;

const QString kHelp =
    QStringLiteral("Usage: kavo-control [OPTION...]\n"
                   "The control panel for one data projector on a serial line: its buttons send\n"
                   "the projector's commands, and it shows and decodes the replies. The port and\n"
                   "its speed are chosen in the panel's port dialog and stored for the user.\n"
                   "\n"
                   "  -h, --help     this help\n"
                   "  --version      the version\n"
                   "\n"
                   "Qt's options work as for every Qt program, e.g. -platform offscreen, -style\n"
                   "NAME, -reverse. Without a display, kavoctl drives the same projector.\n"
                   "Exit status: 0, or 1 for an unknown option. See kavo-control(1).\n");

CommandLine refuse(const QString& message) {
    return {CommandLine::Outcome::Refused,
            QStringLiteral("kavo-control: %1 See kavo-control --help.").arg(message), kExitUsage};
}

} // namespace

CommandLine readCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    // Qt's options have one dash and long names (-platform, -reverse): read as
    // letters run together, they would hold -h.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    parser.addOptions({help, version});
    const bool parsed = parser.parse(arguments);
    if (parser.isSet(help))
        return {CommandLine::Outcome::Answered, kHelp, kExitOk};
    if (parser.isSet(version))
        return {CommandLine::Outcome::Answered,
                QStringLiteral("kavo-control %1\n").arg(QStringLiteral(KAVO_VERSION)), kExitOk};
    if (!parsed)
        return refuse(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return refuse(QStringLiteral("Unexpected argument '%1'.")
                          .arg(parser.positionalArguments().constFirst()));
    return {};
}

} // namespace kavo
