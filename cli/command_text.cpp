#include "command_text.h"

#include "cli_constants.h"

#include <QFileDevice>

namespace kavo::cli {

CommandSource::CommandSource(QStringList arguments, QIODevice& input)
    : m_arguments(std::move(arguments)), m_input(input) {}

namespace {

QString argumentFault(qsizetype index, const QString& argument) {
    if (argument == QLatin1String("-"))
        return {};
    const QString error = checkCommand(argument).error;
    return error.isEmpty() ? error : QStringLiteral("command %1: %2").arg(index + 1).arg(error);
}

// A "#" at the start or after a blank begins a comment; no catalogued
// command holds a "#".
QString withoutComment(const QString& line) {
    for (qsizetype at = line.indexOf(QLatin1Char('#')); at >= 0;
         at = line.indexOf(QLatin1Char('#'), at + 1)) {
        if (at == 0 || line[at - 1] == QLatin1Char(' ') || line[at - 1] == QLatin1Char('\t'))
            return line.left(at);
    }
    return line;
}

} // namespace

QString CommandSource::argumentError() const {
    for (qsizetype i = 0; i < m_arguments.size(); ++i) {
        if (QString error = argumentFault(i, m_arguments[i]); !error.isEmpty())
            return error;
    }
    return {};
}

CommandSource::Next CommandSource::next() {
    for (;;) {
        if (m_reading) {
            if (auto line = nextInputLine())
                return *line;
            m_reading = false;
            continue;
        }
        if (m_argument >= m_arguments.size())
            return {};
        const qsizetype index = m_argument++;
        const QString& argument = m_arguments.at(index);
        if (argument == QLatin1String("-")) {
            m_reading = true;
            continue;
        }
        if (QString error = argumentFault(index, argument); !error.isEmpty())
            return {{}, error};
        return {checkCommand(argument).command, {}};
    }
}

// The next command of standard input, an error, or nothing at its end.
std::optional<CommandSource::Next> CommandSource::nextInputLine() {
    for (;;) {
        // Room for the longest line and its CR LF: anything longer is cut and
        // then found too long.
        if (!m_input.isOpen())
            return Next{{}, QStringLiteral("standard input is closed")};
        const QByteArray bytes = m_input.readLine(kMaxInputLine + 2);
        if (bytes.isEmpty()) {
            const auto* file = qobject_cast<const QFileDevice*>(&m_input);
            if (file && file->error() != QFileDevice::NoError)
                return Next{
                    {},
                    QStringLiteral("standard input cannot be read: %1").arg(file->errorString())};
            return std::nullopt;
        }
        ++m_line;
        const auto where = [this](const QString& what) {
            return Next{{}, QStringLiteral("standard input, line %1: %2").arg(m_line).arg(what)};
        };
        QByteArray line = bytes;
        if (line.endsWith('\n'))
            line.chop(1);
        if (line.endsWith('\r')) // a line written on Windows
            line.chop(1);
        if (line.size() > kMaxInputLine)
            return where(QStringLiteral("longer than %1 characters").arg(kMaxInputLine));
        const QString text = withoutComment(QString::fromLatin1(line)).trimmed();
        if (text.isEmpty())
            continue;
        const CheckedCommand checked = checkCommand(text);
        if (!checked.error.isEmpty())
            return where(checked.error);
        return Next{checked.command, {}};
    }
}

} // namespace kavo::cli
