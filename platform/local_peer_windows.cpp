#include "local_peer.h"
#include "local_pipe.h"
#include "port_paths.h"

#include <QLocalSocket>
#include <windows.h>

namespace kavo {

QString localEndpointKind() {
    return QStringLiteral("pipe");
}

std::optional<LocalPeer> localPeerOf(const QLocalSocket& socket) {
    ULONG pid = 0;
    const auto pipe = reinterpret_cast<HANDLE>(socket.socketDescriptor());
    if (!GetNamedPipeClientProcessId(pipe, &pid))
        return std::nullopt;
    const std::optional<ProcessAccount> account = processAccount(pid);
    return LocalPeer{account ? escapeControls(account->name) : QStringLiteral("?"), qint64(pid)};
}

} // namespace kavo
