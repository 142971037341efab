#include "qt_platform.h"

#include <memory>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>

namespace kavo {
namespace {

#ifdef Q_OS_WIN
// Earlier Windows builds named the application as QSettings' organisation
// without an application name, which put the values one level deeper.
const QString kLegacyGroup = QStringLiteral("OrganizationDefaults");

// Moves values stored under the earlier key to the current one, once: the
// earlier key is removed afterwards. A value already stored under the current
// key wins. Opening the earlier key directly would create it, so it is read
// as a group of the current one.
void adoptLegacyValues(QSettings& current) {
    if (!current.childGroups().contains(kLegacyGroup))
        return;
    current.beginGroup(kLegacyGroup);
    QVariantMap legacy;
    for (const QString& key : current.allKeys())
        legacy.insert(key, current.value(key));
    current.endGroup();
    for (auto it = legacy.cbegin(); it != legacy.cend(); ++it) {
        if (!current.contains(it.key()))
            current.setValue(it.key(), it.value());
    }
    current.sync();
    if (current.status() != QSettings::NoError)
        return; // keep the earlier values until they are safely copied
    current.remove(kLegacyGroup);
    current.sync();
}
#endif

#ifndef Q_OS_WIN
QString storePath(const QString& application) {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QLatin1Char('/') + application + QStringLiteral(".conf");
}

// A store that exists as something other than a regular file: a folder, a
// FIFO, a device. Opening a FIFO would wait for a writer for ever.
QString notAFile(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists() || info.isFile())
        return {};
    return info.isDir() ? QStringLiteral("it is a folder")
                        : QStringLiteral("it is not a regular file");
}
#endif

// The user's store for an application. Outside Windows the path is worked out
// on every use (QSettings would fix it at its first use in the process), so a
// redirected config home always takes effect.
std::unique_ptr<QSettings> openStore(const QString& application) {
#ifdef Q_OS_WIN
    auto settings =
        std::make_unique<QSettings>(storeRegistryKey(application), QSettings::NativeFormat);
    adoptLegacyValues(*settings);
    return settings;
#else
    return std::make_unique<QSettings>(storePath(application), QSettings::IniFormat);
#endif
}

// Why a store could not be written: QSettings only says that it failed, so
// the file's folder is tried with a file that is never committed.
QString writeFailure(const QString& path) {
    const QString failed = QStringLiteral("cannot write %1").arg(QDir::toNativeSeparators(path));
#ifdef Q_OS_WIN
    return failed;
#else
    if (QFileInfo(path).isDir())
        return failed + QStringLiteral(": it is a folder");
    QSaveFile probe(path);
    if (!probe.open(QIODevice::WriteOnly)) {
        QString reason = probe.errorString();
        if (!reason.isEmpty())
            reason[0] = reason[0].toLower();
        return failed + QStringLiteral(": ") + reason;
    }
    probe.cancelWriting();
    return failed;
#endif
}

} // namespace

QString storeRegistryKey(const QString& application) {
    return QStringLiteral("HKEY_CURRENT_USER\\Software\\") + application;
}

QString QtSettingsStore::readProblem(const QString& application) const {
#ifdef Q_OS_WIN
    Q_UNUSED(application);
    return {};
#else
    const QString path = storePath(application);
    const QString problem = notAFile(path);
    return problem.isEmpty() ? problem : QStringLiteral("cannot read %1: %2").arg(path, problem);
#endif
}

QString QtSettingsStore::read(const QString& application, const QString& section,
                              const QString& key, const QString& defaultText) const {
    if (!readProblem(application).isEmpty())
        return defaultText;
    const QVariant value = openStore(application)->value(section + QLatin1Char('/') + key);
    if (!value.isValid())
        return defaultText;
    // A hand-edited file may hold a list ("1, 2"); read it as the text it shows.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QStringLiteral(", "));
    return value.toString();
}

QString QtSettingsStore::write(const QString& application, const QString& section,
                               const QString& key, const QString& text) {
#ifndef Q_OS_WIN
    const QString path = storePath(application);
    if (const QString problem = notAFile(path); !problem.isEmpty())
        return QStringLiteral("cannot write %1: %2").arg(path, problem);
#endif
    const auto settings = openStore(application);
    settings->setValue(section + QLatin1Char('/') + key, text);
    settings->sync();
    if (settings->status() == QSettings::NoError)
        return {};
    return writeFailure(settings->fileName());
}

QtTimer::QtTimer() {
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setSingleShot(false);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
}

void QtTimer::setInterval(std::chrono::milliseconds interval) {
    // QTimer restarts a running timer when its interval is set.
    m_timer.setInterval(interval);
}

std::chrono::milliseconds QtTimer::interval() const {
    return m_timer.intervalAsDuration();
}

void QtTimer::setEnabled(bool enabled) {
    if (enabled) {
        // A periodic QTimer has already scheduled its next tick one interval
        // after the due time of this one; restarting here would drift.
        if (ticking() && m_timer.isActive())
            return;
        m_timer.start(); // restarts a running timer
    } else
        m_timer.stop();
}

} // namespace kavo
