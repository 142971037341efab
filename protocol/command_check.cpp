#include "command_check.h"

#include "catalogue.h"

namespace kavo {

CheckedCommand checkCommand(QStringView text) {
    const QString command = catalogue::commandPart(text);
    if (command.isEmpty())
        return {{}, QStringLiteral("the command is empty")};
    if (command.size() > kLongestCommand) {
        return {{},
                QStringLiteral("the command is longer than %1 characters").arg(kLongestCommand)};
    }
    for (qsizetype i = 0; i < command.size(); ++i) {
        const char16_t code = command[i].unicode();
        if (code < 0x20 || code > 0x7E) {
            return {{},
                    QStringLiteral("character %1 of the command is not printable ASCII (0x%2)")
                        .arg(i + 1)
                        .arg(int(code), 2, 16, QLatin1Char('0'))};
        }
    }
    return {command, {}};
}

} // namespace kavo
