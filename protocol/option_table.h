#pragma once

// A program's options as one table: each row names an option, its value, its
// help, its default and how its value is checked. The same table parses the
// command line (Qt's parser underneath) and writes the options part of
// --help, so that the two cannot drift apart. kavoctl, kavo-projectord and
// the simulator each keep one.

#include <functional>
#include <optional>
#include <QCommandLineParser>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <utility>
#include <vector>

namespace kavo {

// Checks a value and stores it when it is good; otherwise returns the words
// of what the option wants ("9600 or 19200").
using OptionCheck = std::function<std::optional<QString>(const QString& value)>;

// How a value is shown in a complaint (escaped, a password left out).
using ShownValue = QString (*)(QStringView value);

struct OptionRow {
    QStringList names; // a one-letter name first: {"q", "quiet"}; the last names it
    QString valueName; // empty: a switch
    QString help;      // empty: told in another row's help, not a row of --help
    // Said in --help as "(default ...)"; an optional value's value when the
    // option is given without one.
    QString byDefault;
    OptionCheck check;            // empty: any value
    bool optionalValue = false;   // --wait or --wait=S
    QString heading;              // a line of --help above this row
    ShownValue shownAs = nullptr; // instead of the table's
    // Given any number of times: the check sees the values parted by blanks.
    bool repeated = false;
};

// What a program's complaints look like.
struct OptionStyle {
    QString verb = QStringLiteral("takes"); // --port takes a port number from 1 to 15, not "0"
    ShownValue shownAs = nullptr;           // nullptr: the value as given
    bool trimValues = false;                // values are checked without surrounding blanks
    QCommandLineParser::SingleDashWordOptionMode singleDash =
        QCommandLineParser::ParseAsCompactedShortOptions;
};

class OptionReader {
  public:
    explicit OptionReader(std::vector<OptionRow> table, OptionStyle style = {});

    // False: Qt's parser refused the command line, errorText() says why in
    // its words. arguments[0] is the program name.
    bool parse(const QStringList& arguments);
    QString errorText() const { return m_parser.errorText(); }
    QStringList positionalArguments() const { return m_parser.positionalArguments(); }
    // The options given, as given ("q", "port"), in their order.
    QStringList optionNames() const { return m_parser.optionNames(); }

    const std::vector<OptionRow>& table() const { return m_table; }
    const OptionRow* row(const QString& name) const;

    // A value from elsewhere (a configuration file) for an option that the
    // command line does not give; `origin` names it in a complaint.
    void addSetting(const QString& name, const QString& value, const QString& origin);

    // Given on the command line or added.
    bool isSet(const QString& name) const;
    QString value(const QString& name) const;
    // "--baud", or the origin of an added value; empty when not given.
    QString origin(const QString& name) const;

    // Checks and stores every value given, in the table's order. False: the
    // first complaint is in error().
    bool readValues();
    const QString& error() const { return m_error; }

    // The options part of --help: an entry a row, the help from `column` on,
    // wrapped within `width`; two entries that are short enough share a line.
    QString help(int column, int width = 80) const;

  private:
    struct Setting {
        QString value;
        QString origin;
    };

    std::vector<OptionRow> m_table;
    OptionStyle m_style;
    QCommandLineParser m_parser;
    QMap<QString, Setting> m_settings; // by the row's name
    QString m_error;
};

// Any printable text of 1 to `longest` characters. Wants `wanted`.
OptionCheck printableInto(int longest, const char* wanted, QString& target);

// "a, b or c"
QString listOfChoices(const QStringList& words);

// A whole number from low to high written with digits only, else nullopt.
std::optional<qint64> wholeNumberIn(QStringView text, qint64 low, qint64 high);

// A whole number from low to high, stored in `target` (a number, a duration,
// an optional of either). Wants "UNIT from LOW to HIGH".
template <typename Target>
OptionCheck numberInto(const QString& unit, qint64 low, qint64 high, Target& target) {
    return [unit, low, high, &target](const QString& text) -> std::optional<QString> {
        if (const auto number = wholeNumberIn(text, low, high)) {
            target = Target(*number);
            return std::nullopt;
        }
        return QStringLiteral("%1 from %2 to %3").arg(unit).arg(low).arg(high);
    };
}

// One of the words, stored as its value. Wants "a, b or c".
template <typename Value, typename Target>
OptionCheck choiceInto(std::vector<std::pair<QString, Value>> choices, Target& target,
                       Qt::CaseSensitivity sensitivity = Qt::CaseSensitive) {
    return [choices = std::move(choices), sensitivity,
            &target](const QString& text) -> std::optional<QString> {
        QStringList words;
        for (const auto& [word, value] : choices) {
            if (text.compare(word, sensitivity) == 0) {
                target = value;
                return std::nullopt;
            }
            words.append(word);
        }
        return listOfChoices(words);
    };
}

} // namespace kavo
