#include "kavo_version.h"
#include "network_ports.h"
#include "port_factory.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>

namespace kavo {
namespace {

// The module's file name and where it is installed, relative to the
// program's folder; both from the build.
const QString kModuleFile = QStringLiteral(KAVO_NETWORK_PORTS_MODULE);
const QString kInstalledFolder = QStringLiteral(KAVO_NETWORK_PORTS_FROM_PROGRAM);

class LoadedNetworkPorts final : public NetworkPorts {
  public:
    std::unique_ptr<SerialPort> tcpPort(const QString& host, quint16 port) override {
        if (NetworkPorts* ports = module())
            return ports->tcpPort(host, port);
        const QString shown = host.contains(QLatin1Char(':')) ? u'[' + host + u']' : host;
        return unusablePort(
            QStringLiteral("socket://%1:%2: %3.").arg(shown).arg(port).arg(m_problem));
    }

    std::unique_ptr<SerialPort> localPort(const QString& path) override {
        if (NetworkPorts* ports = module())
            return ports->localPort(path);
        return unusablePort(QStringLiteral("unix:%1: %2.").arg(path, m_problem));
    }

    std::optional<QString> hostProblem(const QString& host, QObject* context,
                                       std::function<void(const QString&)> told) override {
        if (NetworkPorts* ports = module())
            return ports->hostProblem(host, context, std::move(told));
        return m_problem;
    }

  private:
    // Loaded once: a module that failed stays failed for the run, and a
    // loaded one stays loaded, since its ports may outlive any caller.
    NetworkPorts* module() {
        if (!m_tried) {
            m_tried = true;
            m_ports = load();
        }
        return m_ports;
    }

    NetworkPorts* load() {
        const QString own = QCoreApplication::applicationDirPath();
        const QStringList folders{own, QDir::cleanPath(own + u'/' + kInstalledFolder)};
        QString why = QStringLiteral("%1 is in neither %2 nor %3")
                          .arg(kModuleFile, QDir::toNativeSeparators(folders[0]),
                               QDir::toNativeSeparators(folders[1]));
        for (const QString& folder : folders) {
            const QString file = folder + u'/' + kModuleFile;
            if (!QFileInfo::exists(file))
                continue;
            QLibrary library(file);
            library.setLoadHints(QLibrary::PreventUnloadHint);
            const auto entry =
                reinterpret_cast<NetworkPortsEntry>(library.resolve(kNetworkPortsEntry));
            if (!entry) {
                why = library.errorString();
                continue;
            }
            if (NetworkPorts* ports = entry(KAVO_VERSION))
                return ports;
            why = QStringLiteral("%1 is not of this program's version %2")
                      .arg(QDir::toNativeSeparators(file), QStringLiteral(KAVO_VERSION));
        }
        m_problem = QStringLiteral("network ports are not available: ") + why;
        return nullptr;
    }

    bool m_tried = false;
    NetworkPorts* m_ports = nullptr;
    QString m_problem;
};

} // namespace

NetworkPorts& loadedNetworkPorts() {
    static LoadedNetworkPorts ports;
    return ports;
}

} // namespace kavo
