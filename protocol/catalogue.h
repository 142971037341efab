#pragma once

// The fixed vocabulary of projector commands offered by the command console:
// three ordered lists of display entries ("C00[CR]     :POWER ON" and so on).
// The command of an entry is the text before its first "[".

#include <QLatin1String>
#include <QString>
#include <QStringList>
#include <QStringView>

namespace kavo::catalogue {

// Stands for the carriage return behind every command; never sent itself.
inline constexpr QLatin1String kCrMarker{"[CR]"};

const QStringList& basicList();        // 66 entries
const QStringList& extendedSetList();  // 381 entries
const QStringList& extendedReadList(); // 107 entries

// Text before the first "["; the whole text when it holds none.
QString commandPart(QStringView entry);

// The command part of every entry of the three lists, in their order.
QStringList allCommands();

// An entry that asks for "%" digits: a "%" anywhere in it, description included
// (the "INPUT1".."INPUT4" descriptions mention "%1").
bool isParameterEntry(QStringView entry);

} // namespace kavo::catalogue
