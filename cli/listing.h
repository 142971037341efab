#pragma once

// What `kavoctl list` offers: the panel's 76 buttons and the catalogue's 554
// entries, one row each, naming the list the row comes from.

#include <QString>
#include <QStringList>
#include <vector>

namespace kavo::cli {

struct ListRow {
    QString list;        // "panel", "basic", "extended set" or "extended read"
    QString command;     // without its CR; empty for the panel's function buttons
    QString description; // "GROUP: caption" for a button, the entry's text after ":"
};

std::vector<ListRow> listRows();

// Tab-separated: list, command, description.
QString formatRow(const ListRow& row);

// Rows holding every word, in any case, anywhere in their line.
std::vector<ListRow> matchingRows(const QStringList& words);

} // namespace kavo::cli
