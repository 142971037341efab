#include "local_peer.h"
#include "port_paths.h"

#include <array>
#include <pwd.h>
#include <QLocalSocket>
#include <sys/socket.h>
#include <unistd.h>

namespace kavo {

QString localEndpointKind() {
    return QStringLiteral("unix");
}

std::optional<LocalPeer> localPeerOf(const QLocalSocket& socket) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &credentials,
                     &size) != 0)
        return std::nullopt;
    // The user by name where the system knows one, as the journal is read
    // by people: who turned the projector off.
    LocalPeer peer{QString::number(credentials.uid), credentials.pid};
    std::array<char, 1024> buffer{};
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(credentials.uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        peer.user = escapeControls(QString::fromLocal8Bit(found->pw_name));
    return peer;
}

} // namespace kavo
