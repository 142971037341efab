#include "access_lists.h"
#include "port_paths.h"
#include "safe_files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <QFileInfo>
#include <sys/stat.h>
#include <windows.h>
// After windows.h.
#include <aclapi.h>

// Who may write into a folder or read a file is set by its access control
// list on Windows: a folder's list is read as a secret file's is.

namespace kavo::service {
namespace {

// What every user of the PC may do with the file or folder, as
// othersAccess() says it; empty when its list cannot be read.
QString othersAccessTo(const QString& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(reinterpret_cast<const wchar_t*>(path.utf16()), SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                              &descriptor) != ERROR_SUCCESS)
        return {};
    const QString others = othersAccess(descriptor);
    LocalFree(descriptor);
    return others;
}

} // namespace

QString folderProblem(const QString& folder) {
    const QFileInfo info(folder);
    if (!info.exists())
        return QStringLiteral("%1: no such folder").arg(escapeControls(folder));
    if (!info.isDir())
        return QStringLiteral("%1 is not a folder").arg(escapeControls(folder));
    // A file another user put there first (the journal, say) would be theirs
    // to read; a folder below %ProgramData% lets every user add files unless
    // its list was set for it.
    if (othersAccessTo(folder).contains(QLatin1String("changed")))
        return QStringLiteral("every user of this PC may add files to it (its access control "
                              "list); let the service's account and the administrators alone "
                              "have it: icacls \"%1\" /inheritance:r /grant:r "
                              "*S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F, and the service's "
                              "account if it is another")
            .arg(escapeControls(folder));
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

QString secretFileWarning(const QString& path, const QString& what) {
    const QString others = othersAccessTo(path);
    if (others.isEmpty())
        return {};
    return QStringLiteral("warning: the %1 password file %2 can be %3 by other users of this PC "
                          "(its access control list); let the service's account and the "
                          "administrators alone have it, for a service that runs as "
                          "LocalSystem: icacls \"%2\" /inheritance:r /grant:r "
                          "SYSTEM:F Administrators:F")
        .arg(what, escapeControls(path), others);
}

} // namespace kavo::service
