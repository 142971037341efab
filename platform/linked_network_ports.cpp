#include "local_serial_port.h"
#include "network_ports.h"
#include "tcp_serial_port.h"

#include <QHostAddress>
#include <QHostInfo>

namespace kavo {
namespace {

class LinkedNetworkPorts final : public NetworkPorts {
  public:
    std::unique_ptr<SerialPort> tcpPort(const QString& host, quint16 port) override {
        return std::make_unique<TcpSerialPort>(host, port);
    }

    std::unique_ptr<SerialPort> localPort(const QString& path) override {
        return std::make_unique<LocalSerialPort>(path);
    }

    std::optional<QString> hostProblem(const QString& host, QObject* context,
                                       std::function<void(const QString&)> told) override {
        if (QHostAddress address; address.setAddress(host))
            return QString();
        if (context && told) {
            QHostInfo::lookupHost(host, context, [told = std::move(told)](const QHostInfo& info) {
                const bool found =
                    info.error() == QHostInfo::NoError && !info.addresses().isEmpty();
                told(found ? QString() : QStringLiteral("host not found"));
            });
        }
        return std::nullopt;
    }
};

} // namespace

NetworkPorts& linkedNetworkPorts() {
    static LinkedNetworkPorts ports;
    return ports;
}

} // namespace kavo
