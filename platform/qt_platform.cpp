#include "qt_platform.h"

#include <QMessageBox>
#include <QSettings>

namespace kavo {

QString QtSettingsStore::read(const QString& application, const QString& section,
                              const QString& key, const QString& defaultText) const {
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, application);
    const QVariant value = settings.value(section + QLatin1Char('/') + key);
    if (!value.isValid())
        return defaultText;
    // A hand-edited file may hold a list ("1, 2"); read it as the text it shows.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QStringLiteral(", "));
    return value.toString();
}

void QtSettingsStore::write(const QString& application, const QString& section,
                            const QString& key, const QString& text) {
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, application);
    settings.setValue(section + QLatin1Char('/') + key, text);
    settings.sync();
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

std::chrono::milliseconds QtTimer::interval() const { return m_timer.intervalAsDuration(); }

void QtTimer::setEnabled(bool enabled) {
    if (enabled)
        m_timer.start(); // restarts a running timer
    else
        m_timer.stop();
}

void QtMessageBox::warn(const QString& title, const QString& text, const QString& detail) {
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok, m_parent);
    if (!detail.isEmpty())
        box.setDetailedText(detail);
    box.exec();
}

} // namespace kavo
