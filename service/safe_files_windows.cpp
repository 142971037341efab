#include "port_paths.h"
#include "safe_files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <QFileInfo>
#include <sys/stat.h>

// Who may write into a folder or read a file is set by its access control
// list on Windows, which these checks do not read: they take what the
// folder's place gives (%ProgramData% for a service, the user's profile
// otherwise) and check the kind of file only.

namespace kavo::service {

QString folderProblem(const QString& folder) {
    const QFileInfo info(folder);
    if (!info.exists())
        return QStringLiteral("%1: no such folder").arg(escapeControls(folder));
    if (!info.isDir())
        return QStringLiteral("%1 is not a folder").arg(escapeControls(folder));
    return {};
}

int openAppendOnly(const QString& path, QString& error) {
    const QFileInfo info(path);
    if (info.isSymLink() || info.isJunction()) {
        error = QStringLiteral("it is a symbolic link, which is not followed");
        return -1;
    }
    if (info.exists() && !info.isFile()) {
        error = QStringLiteral("it is not a regular file");
        return -1;
    }
    const int fd =
        ::_wopen(reinterpret_cast<const wchar_t*>(path.utf16()),
                 _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
    if (fd < 0)
        error = QString::fromLocal8Bit(std::strerror(errno));
    return fd;
}

QString secretFileWarning(const QString&, const QString&) {
    return {};
}

} // namespace kavo::service
