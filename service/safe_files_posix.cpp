#include "port_paths.h"
#include "safe_files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <QFile>
#include <sys/stat.h>
#include <unistd.h>

namespace kavo::service {
namespace {

QString systemError(int number) {
    return QString::fromLocal8Bit(std::strerror(number));
}

} // namespace

QString folderProblem(const QString& folder) {
    struct stat info {};
    if (::stat(QFile::encodeName(folder).constData(), &info) != 0)
        return QStringLiteral("%1: %2").arg(escapeControls(folder), systemError(errno));
    if (!S_ISDIR(info.st_mode))
        return QStringLiteral("%1 is not a folder").arg(escapeControls(folder));
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 ||
        (info.st_uid != ::geteuid() && info.st_uid != 0))
        return QStringLiteral("other users can write to %1 (mode %2): one of them could put a "
                              "file of their own in this one's place; use a folder that only "
                              "its owner can write to")
            .arg(escapeControls(folder))
            .arg(info.st_mode & 07777, 4, 8, QLatin1Char('0'));
    return {};
}

int openAppendOnly(const QString& path, QString& error) {
    // Looked at first for the plain words; the open itself follows no link
    // and waits for nothing, whatever is put there meanwhile.
    struct stat before {};
    if (::lstat(QFile::encodeName(path).constData(), &before) == 0 && !S_ISREG(before.st_mode)) {
        error = S_ISLNK(before.st_mode) ? QStringLiteral("it is a symbolic link, which is not "
                                                         "followed")
                                        : QStringLiteral("it is not a regular file");
        return -1;
    }
    const int fd = ::open(
        QFile::encodeName(path).constData(),
        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0640);
    if (fd < 0) {
        error = errno == ELOOP   ? QStringLiteral("it is a symbolic link, which is not followed")
                : errno == ENXIO ? QStringLiteral("it is not a regular file")
                                 : systemError(errno);
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        error = QStringLiteral("it is not a regular file");
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, O_WRONLY | O_APPEND);
    return fd;
}

QString secretFileWarning(const QString& path, const QString& what) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0 ||
        (info.st_mode & (S_IRGRP | S_IROTH)) == 0)
        return {};
    return QStringLiteral("warning: the %1 password file %2 can be read by other users (mode "
                          "%3); make it readable by its owner only: chmod 600 %2")
        .arg(what, escapeControls(path))
        .arg(info.st_mode & 0777, 4, 8, QLatin1Char('0'));
}

} // namespace kavo::service
