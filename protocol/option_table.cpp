#include "option_table.h"

#include <algorithm>

namespace kavo {
namespace {

QString nameOf(const OptionRow& row) {
    return row.names.constLast();
}

QString dashed(const QString& name) {
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

// "-q, --quiet", "--port N", "--wait[=S]"
QString namesOf(const OptionRow& row) {
    QStringList names;
    for (const QString& name : row.names)
        names.append(dashed(name));
    QString text = names.join(QStringLiteral(", "));
    if (row.optionalValue)
        text += QStringLiteral("[=%1]").arg(row.valueName);
    else if (!row.valueName.isEmpty())
        text += QLatin1Char(' ') + row.valueName;
    return text;
}

// Joins "(default" to the next word, so that a line never ends in it.
constexpr QChar kUnbroken = u'\u00a0';

// The help with its default, which goes before a closing full stop.
QString helpOf(const OptionRow& row) {
    if (row.byDefault.isEmpty())
        return row.help;
    const QString said = QStringLiteral(" (default%1%2)").arg(kUnbroken).arg(row.byDefault);
    if (row.help.endsWith(QLatin1Char('.')))
        return row.help.chopped(1) + said + QLatin1Char('.');
    return row.help + said;
}

// The row's entry starting at `indent`, its help at `column`, within `width`;
// names too long for the column push the first line's help along.
QStringList entryLines(const OptionRow& row, int indent, int column, int width) {
    QString line = QString(indent, QLatin1Char(' ')) + namesOf(row);
    line = line.size() + 2 <= column ? line.leftJustified(column) : line + QStringLiteral("  ");
    QStringList lines;
    bool bare = true; // no word after the names or the indent yet
    for (const QString& word : helpOf(row).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!bare && line.size() + 1 + word.size() > width) {
            lines.append(line);
            line = QString(column, QLatin1Char(' '));
            bare = true;
        }
        if (!bare)
            line += QLatin1Char(' ');
        line += word;
        bare = false;
    }
    while (line.endsWith(QLatin1Char(' ')))
        line.chop(1);
    lines.append(line);
    lines.replaceInStrings(kUnbroken, QStringLiteral(" "));
    return lines;
}

} // namespace

OptionReader::OptionReader(std::vector<OptionRow> table, OptionStyle style)
    : m_table(std::move(table)), m_style(std::move(style)) {
    m_parser.setSingleDashWordOptionMode(m_style.singleDash);
    for (const OptionRow& row : m_table)
        m_parser.addOption(QCommandLineOption(row.names, row.help, row.valueName));
}

const OptionRow* OptionReader::row(const QString& name) const {
    for (const OptionRow& row : m_table) {
        if (row.names.contains(name))
            return &row;
    }
    return nullptr;
}

bool OptionReader::parse(const QStringList& given) {
    // An option whose value may be left out takes its default then: Qt's
    // parser wants a value for any option that takes one.
    QStringList arguments = given;
    for (qsizetype n = 1; n < arguments.size() && arguments[n] != QLatin1String("--"); ++n) {
        const OptionRow* bare =
            arguments[n].startsWith(QLatin1String("--")) ? row(arguments[n].mid(2)) : nullptr;
        if (bare && bare->optionalValue)
            arguments[n] += QLatin1Char('=') + bare->byDefault;
    }
    if (!m_parser.parse(arguments))
        return false;
    for (const OptionRow& row : m_table) {
        const QString name = nameOf(row);
        if (!row.valueName.isEmpty() && m_parser.isSet(name))
            m_settings.insert(name, {row.repeated ? m_parser.values(name).join(QLatin1Char(' '))
                                                  : m_parser.value(name),
                                     dashed(name)});
    }
    return true;
}

void OptionReader::addSetting(const QString& name, const QString& value, const QString& origin) {
    if (!m_settings.contains(name))
        m_settings.insert(name, {value, origin});
}

bool OptionReader::isSet(const QString& name) const {
    return m_settings.contains(name) || m_parser.isSet(name);
}

QString OptionReader::value(const QString& name) const {
    return m_settings.value(name).value;
}

QString OptionReader::origin(const QString& name) const {
    return m_settings.value(name).origin;
}

bool OptionReader::readValues() {
    for (const OptionRow& row : m_table) {
        const auto setting = m_settings.constFind(nameOf(row));
        if (!row.check || setting == m_settings.cend())
            continue;
        const QString& value = setting->value;
        const auto wanted = row.check(m_style.trimValues ? value.trimmed() : value);
        if (!wanted)
            continue;
        const ShownValue shown = row.shownAs ? row.shownAs : m_style.shownAs;
        m_error = QStringLiteral("%1 %2 %3, not \"%4\"")
                      .arg(setting->origin, m_style.verb, *wanted, shown ? shown(value) : value);
        return false;
    }
    return true;
}

QString OptionReader::help(int column, int width) const {
    const int half = width / 2;
    QStringList lines;
    for (auto row = m_table.cbegin(); row != m_table.cend(); ++row) {
        if (row->help.isEmpty())
            continue;
        if (!row->heading.isEmpty())
            lines.append(row->heading);
        const QStringList entry = entryLines(*row, 2, column, width);
        const auto next = row + 1;
        if (entry.size() == 1 && entry.constFirst().size() < half && next != m_table.cend() &&
            next->heading.isEmpty() && !next->help.isEmpty()) {
            const QStringList right = entryLines(*next, 0, column - 2, width - half);
            if (right.size() == 1) {
                lines.append(entry.constFirst().leftJustified(half) + right.constFirst());
                row = next;
                continue;
            }
        }
        lines += entry;
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

OptionCheck printableInto(int longest, const char* wanted, QString& target) {
    return [longest, wanted, &target](const QString& text) -> std::optional<QString> {
        const bool printable = std::ranges::none_of(
            text, [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
        if (!printable || text.isEmpty() || text.size() > longest)
            return QString::fromLatin1(wanted);
        target = text;
        return std::nullopt;
    };
}

QString listOfChoices(const QStringList& words) {
    if (words.size() < 2)
        return words.join(QString());
    return words.mid(0, words.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" or ") +
           words.constLast();
}

std::optional<qint64> wholeNumberIn(QStringView text, qint64 low, qint64 high) {
    // Eighteen digits always fit; more are out of any range an option has.
    if (text.isEmpty() || text.size() > 18)
        return std::nullopt;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
    }
    const qint64 value = text.toLongLong();
    if (value < low || value > high)
        return std::nullopt;
    return value;
}

} // namespace kavo
