#include "port_entry.h"

#include "port_paths.h"

#include <cerrno>
#include <cstring>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <sys/stat.h>
#include <unistd.h>

namespace kavo::sim {
namespace {

const QString kPseudoTerminalFolder = QStringLiteral("/dev/pts/");

QString linkTarget(const QByteArray& path) {
    return rawLinkTarget(QFile::decodeName(path));
}

QString systemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

PortEntry::PortEntry(QString path, QString target)
    : m_path(std::move(path)), m_target(std::move(target)) {}

PortEntry::~PortEntry() {
    release();
}

bool PortEntry::claim(QString* error) {
    const QByteArray path = QFile::encodeName(m_path);
    const QByteArray target = QFile::encodeName(m_target);
    if (!QDir().mkpath(QFileInfo(m_path).absolutePath())) {
        *error = QStringLiteral("cannot create the port folder %1")
                     .arg(QFileInfo(m_path).absolutePath());
        return false;
    }

    struct stat entry {};
    if (::lstat(path.constData(), &entry) != 0) {
        if (errno != ENOENT) {
            *error = QStringLiteral("cannot look at %1: %2").arg(m_path, systemError());
            return false;
        }
        if (::symlink(target.constData(), path.constData()) != 0) {
            *error = QStringLiteral("cannot create %1: %2").arg(m_path, systemError());
            return false;
        }
        m_claimed = true;
        return writeRecord(error);
    }

    const QString current = S_ISLNK(entry.st_mode) ? linkTarget(path) : QString();
    struct stat device {};
    const bool stale =
        current.startsWith(kPseudoTerminalFolder) &&
        ((::stat(QFile::encodeName(current).constData(), &device) != 0 && errno == ENOENT) ||
         simulatorLinkOwner(m_path) == LinkOwner::GoneSimulator);
    if (!stale) {
        const QString what = S_ISLNK(entry.st_mode) ? QStringLiteral("is a link to %1").arg(current)
                                                    : QStringLiteral("is not a link");
        *error = QStringLiteral("%1 already exists and %2; leaving it alone. "
                                "Remove it, or choose another port with --port.")
                     .arg(m_path, what);
        return false;
    }

    // A link left by a simulator that did not get to clean up: swap it in one step.
    const QByteArray fresh = path + ".new-" + QByteArray::number(qint64(::getpid()));
    ::unlink(fresh.constData());
    if (::symlink(target.constData(), fresh.constData()) != 0 ||
        ::rename(fresh.constData(), path.constData()) != 0) {
        *error = QStringLiteral("cannot replace the stale link %1: %2").arg(m_path, systemError());
        ::unlink(fresh.constData());
        return false;
    }
    m_claimed = true;
    return writeRecord(error);
}

bool PortEntry::writeRecord(QString* error) {
    QSaveFile record(simulatorRecordPath(m_path));
    if (!record.open(QIODevice::WriteOnly) ||
        record.write(QByteArray::number(qint64(::getpid())) + '\n' + QFile::encodeName(m_target) +
                     '\n') < 0 ||
        !record.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(record.fileName(), record.errorString());
        release();
        return false;
    }
    return true;
}

void PortEntry::release() {
    if (!m_claimed)
        return;
    m_claimed = false;
    const QByteArray path = QFile::encodeName(m_path);
    if (linkTarget(path) == m_target) {
        ::unlink(path.constData());
        QFile::remove(simulatorRecordPath(m_path));
    }
}

QStringList PortEntry::removeStaleLinks(const QString& folder) {
    QStringList removed;
    const QString suffix = simulatorRecordPath(QString());
    const QDir dir(folder);
    for (const QString& name : dir.entryList({QLatin1Char('*') + suffix}, QDir::Files)) {
        const QString entry = dir.filePath(name.chopped(suffix.size()));
        switch (simulatorLinkOwner(entry)) {
        case LinkOwner::LiveSimulator:
            continue;
        case LinkOwner::GoneSimulator:
            ::unlink(QFile::encodeName(entry).constData());
            removed << entry;
            break;
        case LinkOwner::Other:
            break; // the link was replaced or removed by hand: only the record goes
        }
        QFile::remove(dir.filePath(name));
    }
    return removed;
}

} // namespace kavo::sim
