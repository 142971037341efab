#include "bench_run.h"

#include <QDir>
#include <QFile>

namespace kavo::bench {

bool Workspace::create(QString* error) {
    if (!m_work.isValid()) {
        *error = QStringLiteral("no temporary folder");
        return false;
    }
    m_config = m_work.filePath(QStringLiteral("config"));
    m_runtime = m_work.filePath(QStringLiteral("runtime"));
    QDir().mkpath(portFolder());
    QDir().mkpath(m_runtime);
    QFile::setPermissions(m_runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile conf(m_config + QStringLiteral("/KAVO.conf"));
    if (!conf.open(QIODevice::WriteOnly) ||
        conf.write("[StartUP]\nComPort=1\nBaudRate=192\n") < 0) {
        *error = QStringLiteral("cannot seed the settings");
        return false;
    }
    return true;
}

QStringList Workspace::environment() const {
    return {QStringLiteral("PATH=") + qEnvironmentVariable("PATH"),
            QStringLiteral("HOME=") + QDir::homePath(),
            QStringLiteral("DISPLAY=") + m_display,
            QStringLiteral("XDG_CONFIG_HOME=") + m_config,
            QStringLiteral("XDG_RUNTIME_DIR=") + m_runtime,
            QStringLiteral("LC_ALL=C.UTF-8"),
            QStringLiteral("QT_QPA_PLATFORM=xcb")};
}

} // namespace kavo::bench
