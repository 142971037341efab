#pragma once

// The fixed vocabulary of projector commands offered by the command console:
// three ordered lists of display entries ("C00[CR]     :POWER ON" and so on).
// The command of an entry is the text before its first "[".

#include <QString>
#include <QStringList>
#include <QStringView>

namespace kavo::catalogue {

const QStringList& basicList();       // 66 entries
const QStringList& extendedSetList(); // 381 entries
const QStringList& extendedReadList(); // 107 entries

// Text before the first "["; the whole text when it holds none.
QString commandPart(QStringView entry);

} // namespace kavo::catalogue
