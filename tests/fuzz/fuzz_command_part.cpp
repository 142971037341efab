// The console's command rule on any line: the command never holds "[" and is
// a prefix of the line; a line without "[" is its own command.

#include "catalogue.h"

#include <cstdint>
#include <cstdlib>
#include <QString>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString line = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    const QString command = kavo::catalogue::commandPart(line);
    if (command.contains(QLatin1Char('[')) || !line.startsWith(command))
        std::abort();
    if (!line.contains(QLatin1Char('[')) && command != line)
        std::abort();
    if (line.contains(QLatin1Char('[')) && line.at(command.size()) != QLatin1Char('['))
        std::abort();
    return 0;
}
