#include "local_pipe.h"

#include <QByteArray>
#include <QLocalSocket>
#include <QWinEventNotifier>
#include <windows.h>
// The SID and security descriptor conversions need windows.h first.
#include <aclapi.h>
#include <sddl.h>

namespace kavo {
namespace {

// What a client of the pipe may do: read and write its data and attributes
// (a client sets the pipe's read mode), never FILE_CREATE_PIPE_INSTANCE,
// which is FILE_APPEND_DATA and part of GENERIC_WRITE.
constexpr DWORD kClientRights = FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES;
constexpr DWORD kPipeBuffer = 4096;

const QString kLocalSystem = QStringLiteral("S-1-5-18");
const QString kLocalService = QStringLiteral("S-1-5-19");
const QString kNetworkService = QStringLiteral("S-1-5-20");
const QString kAdministrators = QStringLiteral("S-1-5-32-544");

QString systemMessage(DWORD error) {
    return qt_error_string(int(error));
}

QString sidText(PSID sid) {
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text))
        return {};
    const QString shown = QString::fromWCharArray(text);
    LocalFree(text);
    return shown;
}

QString nameOf(PSID sid) {
    wchar_t name[256];
    wchar_t domain[256];
    DWORD nameSize = 256;
    DWORD domainSize = 256;
    SID_NAME_USE use{};
    if (!LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use))
        return sidText(sid);
    if (domainSize == 0)
        return QString::fromWCharArray(name);
    return QString::fromWCharArray(domain) + QLatin1Char('\\') + QString::fromWCharArray(name);
}

// A token's information of one class, empty when it cannot be read.
QByteArray tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
    DWORD size = 0;
    GetTokenInformation(token, kind, nullptr, 0, &size);
    QByteArray buffer(qsizetype(size), '\0');
    if (size == 0 || !GetTokenInformation(token, kind, buffer.data(), size, &size))
        return {};
    return buffer;
}

std::optional<ProcessAccount> tokenAccount(HANDLE token) {
    const QByteArray user = tokenInformation(token, TokenUser);
    if (user.isEmpty())
        return std::nullopt;
    const PSID sid = reinterpret_cast<const TOKEN_USER*>(user.constData())->User.Sid;
    ProcessAccount account{sidText(sid), nameOf(sid), false};
    const QByteArray groups = tokenInformation(token, TokenGroups);
    if (!groups.isEmpty()) {
        const auto* list = reinterpret_cast<const TOKEN_GROUPS*>(groups.constData());
        for (DWORD i = 0; i < list->GroupCount; ++i) {
            const SID_AND_ATTRIBUTES& group = list->Groups[i];
            // A group for deny only, as in a filtered administrator's token, grants nothing.
            if ((group.Attributes & SE_GROUP_ENABLED) &&
                !(group.Attributes & SE_GROUP_USE_FOR_DENY_ONLY) &&
                sidText(group.Sid) == kAdministrators)
                account.administrator = true;
        }
    }
    return account;
}

struct LocalMemory {
    void* data = nullptr;
    ~LocalMemory() { LocalFree(data); }
};

// The pipe's owner, for a server whose process this client may not ask (a
// service's token is closed to the PC's users). Only its creator, an
// administrator or a privileged service can make an object owned by
// another account than its own.
std::optional<ProcessAccount> pipeOwner(HANDLE pipe) {
    PSID owner = nullptr;
    LocalMemory descriptor;
    if (GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &descriptor.data) != ERROR_SUCCESS ||
        !owner)
        return std::nullopt;
    const QString sid = sidText(owner);
    return ProcessAccount{sid, nameOf(owner), sid == kAdministrators};
}

// Whether some program serves the pipe already. The first instance's flag
// says so on Windows; Wine ignores the flag, and asking first costs nothing.
bool pipeServed(const std::wstring& name) {
    constexpr DWORD kAskMs = 1;
    return WaitNamedPipeW(name.c_str(), kAskMs) || GetLastError() == ERROR_SEM_TIMEOUT;
}

} // namespace

std::optional<QString> accountSid(const QString& account, QString* problem) {
    const std::wstring wide = account.toStdWString();
    if (account.startsWith(QLatin1String("S-"), Qt::CaseInsensitive)) {
        PSID sid = nullptr;
        if (!ConvertStringSidToSidW(wide.c_str(), &sid)) {
            *problem = QStringLiteral("\"%1\" is not a SID").arg(account);
            return std::nullopt;
        }
        const QString text = sidText(sid);
        LocalFree(sid);
        return text;
    }
    DWORD sidSize = 0;
    DWORD domainSize = 0;
    SID_NAME_USE use{};
    LookupAccountNameW(nullptr, wide.c_str(), nullptr, &sidSize, nullptr, &domainSize, &use);
    QByteArray sid(qsizetype(sidSize), '\0');
    std::wstring domain(domainSize + 1, L'\0');
    if (account.isEmpty() || sidSize == 0 ||
        !LookupAccountNameW(nullptr, wide.c_str(), sid.data(), &sidSize, domain.data(), &domainSize,
                            &use)) {
        *problem = QStringLiteral("this PC knows no account or group \"%1\"").arg(account);
        return std::nullopt;
    }
    return sidText(sid.data());
}

QString accountName(const QString& sid) {
    PSID binary = nullptr;
    if (!ConvertStringSidToSidW(sid.toStdWString().c_str(), &binary))
        return sid;
    const QString name = nameOf(binary);
    LocalFree(binary);
    return name;
}

std::optional<ProcessAccount> processAccount(qint64 pid) {
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process)
        return std::nullopt;
    HANDLE token = nullptr;
    const bool opened = OpenProcessToken(process, TOKEN_QUERY, &token);
    CloseHandle(process);
    if (!opened)
        return std::nullopt;
    std::optional<ProcessAccount> account = tokenAccount(token);
    CloseHandle(token);
    return account;
}

QString processUserSid() {
    const std::optional<ProcessAccount> own = processAccount(GetCurrentProcessId());
    return own ? own->sid : QString();
}

QString pipeSecurity(const QString& usersSid, const QString& serviceSid) {
    // Protected: nothing inherited from elsewhere widens it.
    return QStringLiteral("D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;%1)(A;;0x%2;;;%3)")
        .arg(serviceSid)
        .arg(kClientRights, 0, 16)
        .arg(usersSid);
}

bool trustedPipeServer(const QString& serverSid, bool administrator, const QString& ownSid) {
    return administrator || serverSid == kLocalSystem || serverSid == kLocalService ||
           serverSid == kNetworkService || (!ownSid.isEmpty() && serverSid == ownSid);
}

PipeOpening openPipe(const QString& fullName, const QString& shown) {
    const HANDLE pipe = CreateFileW(fullName.toStdWString().c_str(), GENERIC_READ | kClientRights,
                                    0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        switch (error) {
        case ERROR_PIPE_BUSY:
            return {PipeOpening::Busy};
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return {PipeOpening::Missing};
        case ERROR_ACCESS_DENIED:
            return {PipeOpening::Denied};
        default:
            return {PipeOpening::Failed, -1, systemMessage(error)};
        }
    }
    ULONG pid = 0;
    std::optional<ProcessAccount> server;
    if (GetNamedPipeServerProcessId(pipe, &pid))
        server = processAccount(pid);
    if (!server)
        server = pipeOwner(pipe);
    QString problem;
    if (!server)
        problem = QStringLiteral("%1: whose program serves it cannot be told, so nothing is sent "
                                 "to it")
                      .arg(shown);
    else if (!trustedPipeServer(server->sid, server->administrator, processUserSid()))
        problem = QStringLiteral("%1 is served by %2, not by the projector's service")
                      .arg(shown, server->name);
    if (!problem.isEmpty()) {
        CloseHandle(pipe);
        return {PipeOpening::Untrusted, -1, problem};
    }
    return {PipeOpening::Open, reinterpret_cast<qintptr>(pipe), {}};
}

struct LocalPipeServer::Instance {
    PSECURITY_DESCRIPTOR descriptor = nullptr; // LocalAlloc'd
    HANDLE event = nullptr;                    // set when a client connects to `pipe`
    HANDLE pipe = INVALID_HANDLE_VALUE;        // the instance waiting for a client
    bool waiting = false;                      // a connect on `pipe` is under way
    OVERLAPPED overlapped{};                   // the connect's, while it is under way
    QWinEventNotifier notifier;
};

LocalPipeServer::LocalPipeServer(QObject* parent)
    : QObject(parent), m_instance(std::make_unique<Instance>()) {
    connect(&m_instance->notifier, &QWinEventNotifier::activated, this,
            &LocalPipeServer::clientArrived);
}

LocalPipeServer::~LocalPipeServer() {
    close();
}

bool LocalPipeServer::listen(const QString& name) {
    if (m_listening) {
        m_error = QStringLiteral("already listening");
        return false;
    }
    const QString prefix = QStringLiteral("\\\\.\\pipe\\");
    m_fullName = name.startsWith(prefix) ? name : prefix + name;
    const QString serviceSid = processUserSid();
    if (serviceSid.isEmpty() || !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                                    pipeSecurity(m_usersSid, serviceSid).toStdWString().c_str(),
                                    SDDL_REVISION_1, &m_instance->descriptor, nullptr)) {
        m_error = QStringLiteral("the pipe's access cannot be set: %1")
                      .arg(systemMessage(GetLastError()));
        close();
        return false;
    }
    const QString served = QStringLiteral("another program serves that pipe already");
    if (pipeServed(m_fullName.toStdWString())) {
        m_error = served;
        close();
        return false;
    }
    if (!createInstance(true)) {
        const DWORD error = GetLastError();
        m_error = error == ERROR_ACCESS_DENIED ? served : systemMessage(error);
        close();
        return false;
    }
    m_instance->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!m_instance->event) {
        m_error = systemMessage(GetLastError());
        close();
        return false;
    }
    m_instance->notifier.setHandle(m_instance->event);
    m_listening = true;
    m_error.clear();
    waitForClient();
    return true;
}

void LocalPipeServer::waitForClient() {
    while (m_listening && !m_instance->waiting && m_ready.size() < m_maxPending) {
        if (m_instance->pipe == INVALID_HANDLE_VALUE && !createInstance(false)) {
            m_error = systemMessage(GetLastError());
            return;
        }
        m_instance->overlapped = OVERLAPPED{};
        m_instance->overlapped.hEvent = m_instance->event;
        ResetEvent(m_instance->event);
        if (ConnectNamedPipe(m_instance->pipe, &m_instance->overlapped)) {
            handOver();
            continue;
        }
        const DWORD error = GetLastError();
        switch (error) {
        case ERROR_IO_PENDING:
            m_instance->waiting = true;
            m_instance->notifier.setEnabled(true);
            return;
        case ERROR_PIPE_CONNECTED:
            handOver();
            break;
        case ERROR_NO_DATA: // a client came and went before it was seen
            dropInstance();
            break;
        default:
            m_error = systemMessage(error);
            dropInstance();
            return;
        }
    }
}

bool LocalPipeServer::createInstance(bool first) {
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), m_instance->descriptor, FALSE};
    m_instance->pipe = CreateNamedPipeW(
        m_fullName.toStdWString().c_str(),
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        PIPE_UNLIMITED_INSTANCES, kPipeBuffer, kPipeBuffer, 0, &security);
    return m_instance->pipe != INVALID_HANDLE_VALUE;
}

void LocalPipeServer::clientArrived() {
    m_instance->notifier.setEnabled(false);
    m_instance->waiting = false;
    DWORD unused = 0;
    if (GetOverlappedResult(m_instance->pipe, &m_instance->overlapped, &unused, FALSE))
        handOver();
    else
        dropInstance();
    waitForClient();
}

void LocalPipeServer::handOver() {
    auto* socket = new QLocalSocket(this);
    const HANDLE pipe = std::exchange(m_instance->pipe, INVALID_HANDLE_VALUE);
    if (!socket->setSocketDescriptor(reinterpret_cast<qintptr>(pipe))) {
        delete socket;
        CloseHandle(pipe);
        return;
    }
    m_ready.append(socket);
    emit newConnection();
}

void LocalPipeServer::dropInstance() {
    CloseHandle(std::exchange(m_instance->pipe, INVALID_HANDLE_VALUE));
}

QLocalSocket* LocalPipeServer::nextPendingConnection() {
    if (m_ready.isEmpty())
        return nullptr;
    QLocalSocket* socket = m_ready.takeFirst();
    // A full queue held the next instance back.
    QMetaObject::invokeMethod(this, &LocalPipeServer::waitForClient, Qt::QueuedConnection);
    return socket;
}

void LocalPipeServer::close() {
    m_listening = false;
    m_instance->notifier.setEnabled(false);
    if (m_instance->waiting) {
        // The connect refers to m_instance->overlapped: it ends before the handle and the event go.
        CancelIoEx(m_instance->pipe, &m_instance->overlapped);
        DWORD unused = 0;
        GetOverlappedResult(m_instance->pipe, &m_instance->overlapped, &unused, TRUE);
        m_instance->waiting = false;
    }
    if (m_instance->pipe != INVALID_HANDLE_VALUE)
        dropInstance();
    if (m_instance->event) {
        m_instance->notifier.setHandle(nullptr);
        CloseHandle(std::exchange(m_instance->event, nullptr));
    }
    LocalFree(std::exchange(m_instance->descriptor, nullptr));
    qDeleteAll(std::exchange(m_ready, {}));
}

} // namespace kavo
