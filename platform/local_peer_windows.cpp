#include "local_peer.h"
#include "port_paths.h"

#include <QByteArray>
#include <QLocalSocket>
#include <windows.h>
// sddl.h needs windows.h first.
#include <sddl.h>

namespace kavo {
namespace {

// The account that runs the process, DOMAIN\NAME, or its SID where the
// name cannot be looked up; empty when the process cannot be asked.
QString accountOf(DWORD pid) {
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        return {};
    HANDLE token = nullptr;
    const bool opened = OpenProcessToken(process, TOKEN_QUERY, &token);
    CloseHandle(process);
    if (!opened)
        return {};
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    QByteArray buffer(qsizetype(size), '\0');
    const bool read = size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
    CloseHandle(token);
    if (!read)
        return {};
    const PSID sid = reinterpret_cast<const TOKEN_USER*>(buffer.constData())->User.Sid;
    wchar_t name[256];
    wchar_t domain[256];
    DWORD nameSize = 256;
    DWORD domainSize = 256;
    SID_NAME_USE use{};
    if (LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use))
        return QString::fromWCharArray(domain) + QLatin1Char('\\') + QString::fromWCharArray(name);
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text))
        return {};
    const QString shown = QString::fromWCharArray(text);
    LocalFree(text);
    return shown;
}

} // namespace

QString localEndpointKind() {
    return QStringLiteral("pipe");
}

std::optional<LocalPeer> localPeerOf(const QLocalSocket& socket) {
    ULONG pid = 0;
    const auto pipe = reinterpret_cast<HANDLE>(socket.socketDescriptor());
    if (!GetNamedPipeClientProcessId(pipe, &pid))
        return std::nullopt;
    const QString user = accountOf(pid);
    return LocalPeer{user.isEmpty() ? QStringLiteral("?") : escapeControls(user), qint64(pid)};
}

} // namespace kavo
