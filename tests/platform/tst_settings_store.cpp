// The product's per-user store: values survive into a new store object, and on
// Windows they live in the current user's registry key for the application,
// taking over what an earlier build left one level deeper. Each run uses an
// application name of its own and removes it afterwards, so the user's own
// settings are never touched.

#include "qt_platform.h"

#include <QCoreApplication>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>

using namespace kavo;

namespace {

const QString kSection = QStringLiteral("StartUP");
const QString kPort = QStringLiteral("ComPort");
const QString kBaud = QStringLiteral("BaudRate");

} // namespace

class TestSettingsStore : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        m_application =
            QStringLiteral("KAVO-store-test-%1").arg(QCoreApplication::applicationPid());
    }
    void init() { removeAll(); }
    void cleanup() { removeAll(); }

    void textReadsBackUnchanged_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("port") << "15";
        QTest::newRow("leading blank") << " 12";
        QTest::newRow("comma") << "1, 2";
        QTest::newRow("empty") << "";
        QTest::newRow("not a number") << "DATAC";
    }
    void textReadsBackUnchanged() {
        QFETCH(QString, text);
        QtSettingsStore().write(m_application, kSection, kPort, text);
        QCOMPARE(QtSettingsStore().read(m_application, kSection, kPort, "absent"), text);
        QCOMPARE(QtSettingsStore().read(m_application, kSection, kBaud, "DATAb"), "DATAb");
    }

#ifdef Q_OS_WIN
    void valuesLiveUnderTheApplicationKey() {
        QtSettingsStore store;
        store.write(m_application, kSection, kPort, "3");
        store.write(m_application, kSection, kBaud, "96");
        QSettings registry(registryKey(), QSettings::NativeFormat);
        QCOMPARE(registry.childGroups(), QStringList{kSection});
        QCOMPARE(registry.value("StartUP/ComPort").toString(), "3");
        QCOMPARE(registry.value("StartUP/BaudRate").toString(), "96");
    }

    void earlierKeyIsTakenOverOnce_data() {
        QTest::addColumn<QString>("current"); // port under the current key; empty: none
        QTest::addColumn<QString>("expected");
        QTest::newRow("only the earlier key") << ""
                                              << "7";
        QTest::newRow("the current key wins") << "4"
                                              << "4";
    }
    void earlierKeyIsTakenOverOnce() {
        QFETCH(QString, current);
        QFETCH(QString, expected);
        {
            QSettings earlier(registryKey() + "\\OrganizationDefaults", QSettings::NativeFormat);
            earlier.setValue("StartUP/ComPort", "7");
            earlier.setValue("StartUP/BaudRate", "96");
        }
        if (!current.isEmpty())
            QSettings(registryKey(), QSettings::NativeFormat).setValue("StartUP/ComPort", current);

        QtSettingsStore store;
        QCOMPARE(store.read(m_application, kSection, kPort, "DATAC"), expected);
        QCOMPARE(store.read(m_application, kSection, kBaud, "DATAb"), "96");
        QSettings registry(registryKey(), QSettings::NativeFormat);
        QCOMPARE(registry.childGroups(), QStringList{kSection});
        QCOMPARE(registry.value("StartUP/ComPort").toString(), expected);
        // Once taken over, the earlier key is gone and cannot win later.
        store.write(m_application, kSection, kPort, "9");
        QCOMPARE(store.read(m_application, kSection, kPort, "DATAC"), "9");
    }
#endif

  private:
    QString registryKey() const {
        return "HKEY_CURRENT_USER\\Software\\" + m_application;
    }

    void removeAll() {
#ifdef Q_OS_WIN
        QSettings(registryKey(), QSettings::NativeFormat).clear();
        QSettings("HKEY_CURRENT_USER\\Software", QSettings::NativeFormat).remove(m_application);
#else
        QFile::remove(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                      "/" + m_application + ".conf");
#endif
    }

    QString m_application;
};

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settings_store.moc"
