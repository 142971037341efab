#include "safe_files.h"

#include "port_paths.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace kavo::service {

bool openToRead(QFile& file, const QString& what, QString& error) {
    const bool regular = QFileInfo(file.fileName()).isFile();
    if (regular && file.open(QIODevice::ReadOnly))
        return true;
    error = QStringLiteral("cannot read the %1 file %2: %3")
                .arg(what, escapeControls(file.fileName()),
                     regular ? file.errorString() : QStringLiteral("not a file"));
    return false;
}

QString writeSecretFile(const QString& path, const QByteArray& content) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QStringLiteral("cannot write %1: %2").arg(escapeControls(path), file.errorString());
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(content);
    if (!file.commit())
        return QStringLiteral("cannot write %1: %2").arg(escapeControls(path), file.errorString());
    return {};
}

} // namespace kavo::service
