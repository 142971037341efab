#pragma once

// Who is at the other end of a local connection (a Unix-domain socket, on
// Windows a named pipe), as the system tells it: the user by name where it
// knows one, and the process.

#include <optional>
#include <QString>

class QLocalSocket;

namespace kavo {

struct LocalPeer {
    QString user; // a name, or the user's number or SID where no name is known
    qint64 pid = -1;
};

// What a local endpoint's clients are called in messages: "unix" or "pipe".
QString localEndpointKind();

// Nothing when the system does not say.
std::optional<LocalPeer> localPeerOf(const QLocalSocket& socket);

} // namespace kavo
