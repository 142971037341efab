// The panel's network ports as a module of their own, so that the panel
// maps Qt Network only once a port on a connection is used
// (loadedNetworkPorts() loads it).

#include "kavo_version.h"
#include "network_ports.h"

#include <cstring>
#include <QtGlobal>

extern "C" Q_DECL_EXPORT kavo::NetworkPorts* kavo_network_ports(const char* version) {
    return std::strcmp(version, KAVO_VERSION) == 0 ? &kavo::linkedNetworkPorts() : nullptr;
}
