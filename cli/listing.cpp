#include "listing.h"

#include "button_map.h"
#include "catalogue.h"

namespace kavo::cli {
namespace {

QString fromView(std::string_view text) {
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

// The description of a catalogue entry: after the command, the "[CR]" marker
// and the gap, without the leading ":" (";" in two entries).
QString entryDescription(const QString& entry, qsizetype commandLength) {
    QString rest = entry.mid(commandLength);
    if (rest.startsWith(catalogue::kCrMarker))
        rest.remove(0, catalogue::kCrMarker.size());
    rest = rest.simplified();
    if (rest.startsWith(QLatin1Char(':')) || rest.startsWith(QLatin1Char(';')))
        rest = rest.mid(1).simplified();
    return rest;
}

} // namespace

std::vector<ListRow> listRows() {
    std::vector<ListRow> rows;
    for (const panel::ButtonEntry& button : panel::buttons()) {
        rows.push_back({QStringLiteral("panel"), fromView(button.command),
                        QString::fromStdString(panel::groupName(button)) + QLatin1String(": ") +
                            fromView(panel::shownCaption(button))});
    }
    const std::pair<const char*, const QStringList*> lists[] = {
        {"basic", &catalogue::basicList()},
        {"extended set", &catalogue::extendedSetList()},
        {"extended read", &catalogue::extendedReadList()},
    };
    for (const auto& [name, entries] : lists) {
        for (const QString& entry : *entries) {
            const QString command = catalogue::commandPart(entry);
            rows.push_back({QLatin1String(name), command, entryDescription(entry, command.size())});
        }
    }
    return rows;
}

QString formatRow(const ListRow& row) {
    return row.list + QLatin1Char('\t') + row.command + QLatin1Char('\t') + row.description;
}

std::vector<ListRow> matchingRows(const QStringList& words) {
    std::vector<ListRow> found;
    for (ListRow& row : listRows()) {
        const QString line = formatRow(row);
        const bool all = std::ranges::all_of(
            words, [&](const QString& word) { return line.contains(word, Qt::CaseInsensitive); });
        if (all)
            found.push_back(std::move(row));
    }
    return found;
}

} // namespace kavo::cli
