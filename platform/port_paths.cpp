#include "port_paths.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace kavo {

QString portFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/KAVO/ports");
}

QString portDevicePath(int number) {
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(number);
#else
    const QString entry = portFolder() + QStringLiteral("/COM%1").arg(number);
    const QFileInfo info(entry);
    // A dangling link still names the port: opening it then says the device is missing.
    if (info.exists() || info.isSymLink())
        return entry;
    return QStringLiteral("/dev/ttyS%1").arg(number - 1);
#endif
}

QString shownDevice(const QString& path) {
    const QFileInfo info(path);
    return info.isSymLink() ? info.symLinkTarget() : path;
}

QString describePortDevice(int number) {
    const QString path = portDevicePath(number);
#ifdef Q_OS_WIN
    return path;
#else
    return shownDevice(path) + (QFileInfo::exists(path) ? QStringLiteral(" - present")
                                                        : QStringLiteral(" - not present"));
#endif
}

} // namespace kavo
