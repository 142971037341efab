// kavo-control: a control panel for one data projector on a serial line.

#include "application.h"
#include "command_line.h"

#include <cstdio>
#include <QApplication>

namespace {

int answer(const kavo::CommandLine& line) {
    std::FILE* stream = line.outcome == kavo::CommandLine::Outcome::Answered ? stdout : stderr;
    std::fputs(line.text.toLocal8Bit().constData(), stream);
    if (!line.text.endsWith(QLatin1Char('\n')))
        std::fputc('\n', stream);
    return line.exitCode;
}

} // namespace

int main(int argc, char* argv[]) {
    // Help and version before QApplication, which needs a display. Qt's own
    // options are not known here; they are judged once Qt has taken them.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    if (const kavo::CommandLine early = kavo::readCommandLine(arguments);
        early.outcome == kavo::CommandLine::Outcome::Answered)
        return answer(early);

    QApplication app(argc, argv);
    if (const kavo::CommandLine line = kavo::readCommandLine(QApplication::arguments());
        line.outcome != kavo::CommandLine::Outcome::RunPanel)
        return answer(line);
    return kavo::runApplication(app);
}
