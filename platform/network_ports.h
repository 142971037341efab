#pragma once

// The ports and the look-up that need Qt Network: a TCP connection to a
// network serial server (socket://HOST:PORT), a projector-sharing service's
// Unix-domain socket (unix:PATH) or named pipe on Windows (pipe:NAME), and
// whether a server's host name is known.
// Most operators use none of them, so the panel loads them only when one is
// asked for (loadedNetworkPorts()); kavoctl, the service and the tests link
// them (linkedNetworkPorts(), in the kavo_network_ports library).

#include <functional>
#include <memory>
#include <optional>
#include <QString>

class QObject;

namespace kavo {

class SerialPort;

class NetworkPorts {
  public:
    virtual ~NetworkPorts() = default;
    // A closed port on the network serial server at host:port.
    virtual std::unique_ptr<SerialPort> tcpPort(const QString& host, quint16 port) = 0;
    // A closed port on the Unix-domain socket at the absolute path; on Windows
    // on the named pipe \\.\pipe\NAME.
    virtual std::unique_ptr<SerialPort> localPort(const QString& path) = 0;
    // Why `host` cannot be reached: empty when it is an address or a name
    // that was found. An address is answered at once. For a name the answer
    // is std::nullopt: the name is looked up when `context` and `told` are
    // given, and `told` later receives the answer unless `context` is gone.
    virtual std::optional<QString> hostProblem(const QString& host, QObject* context,
                                               std::function<void(const QString&)> told) = 0;
};

// Qt Network linked into the program: the kavo_network_ports library.
NetworkPorts& linkedNetworkPorts();

// The same from the kavo-network-ports module, loaded the first time a port
// or a look-up is asked for: from the program's own folder, else from the
// folder it is installed to beside the program. When it cannot be loaded,
// every port's open and every look-up says why. Not on Windows, where the
// panel links them.
NetworkPorts& loadedNetworkPorts();

// The module's one entry point, by this name: its network ports, or nullptr
// when `version` is not the version it was built as.
using NetworkPortsEntry = NetworkPorts* (*)(const char* version);
inline constexpr char kNetworkPortsEntry[] = "kavo_network_ports";

} // namespace kavo
