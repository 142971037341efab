#pragma once

// Files the service creates or reads where another local user might have a
// hand: its socket's and its journal's folders, the journal file itself, and
// the files that hold passwords. On Windows, access control lists say who
// may write or read: a folder's and a password file's are read (see
// safe_files_windows.cpp).

#include <QByteArray>
#include <QString>

class QFile;

namespace kavo::service {

// Empty when only its owner (this user or root) can put files into the
// folder, else why not, in words. On Windows: when its access control list
// does not let every user of the PC add files.
QString folderProblem(const QString& folder);

// Opens the file for appending without following a link and without waiting
// (a FIFO planted in its place neither hangs nor takes the lines); it must be
// a regular file, and is created rw-r----- at most. The descriptor, or -1
// with the reason in `error`.
int openAppendOnly(const QString& path, QString& error);

// Empty when no user but the file's owner can read it, else a warning that
// names the file and the fix. On Windows: when the file's access control
// list lets every user of the PC read or change it.
QString secretFileWarning(const QString& path, const QString& what);

// Opens the file, which must be a regular one (a FIFO put there would hang
// the reader), for reading. False with "cannot read the WHAT file PATH:
// why" in `error`.
bool openToRead(QFile& file, const QString& what, QString& error);

// Replaces the file with `content` atomically (a reader sees the old file or
// the new one, never half), readable and writable by its owner only. Empty,
// or why not.
QString writeSecretFile(const QString& path, const QByteArray& content);

} // namespace kavo::service
