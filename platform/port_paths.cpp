#include "port_paths.h"

#include "network_ports.h"

#include <optional>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace kavo {
namespace {

const QLatin1String kNetworkScheme("socket://");
const QLatin1String kLocalScheme("unix:");
const QLatin1String kPipeScheme("pipe:");
const QLatin1String kLocalPipePrefix("\\\\.\\pipe\\");
#ifdef Q_OS_WIN
const QString kEntryHolds = QStringLiteral("the entry should hold socket://HOST:PORT or "
                                           "pipe:NAME");
#else
const QString kEntryHolds = QStringLiteral("the entry should hold socket://HOST:PORT or "
                                           "unix:PATH, or be a link to a device");
#endif
// The longest pipe name a projector-sharing service takes, without \\.\pipe\.
constexpr qsizetype kMaxPipeName = 200;

PortTarget unusable(const QString& path, const QString& problem) {
    PortTarget target;
    target.kind = PortTarget::Kind::Unusable;
    target.path = path;
    target.shown = escapeControls(path);
    target.problem = problem;
    return target;
}

// socket://HOST:PORT with a host name, an IPv4 address or a bracketed IPv6
// address, and nothing else: no user, path, query or options.
PortTarget parseNetworkName(const QString& path, const QString& name) {
    const QString rest = name.mid(kNetworkScheme.size());
    const QString wanted = QStringLiteral("write socket://HOST:PORT");
    for (const QChar c : {u'/', u'?', u'#', u'@'}) {
        if (rest.contains(c))
            return unusable(
                path,
                QStringLiteral("\"%1\" holds more than a host and a port; %2").arg(name, wanted));
    }
    const qsizetype colon = rest.lastIndexOf(QLatin1Char(':'));
    if (colon < 0 || colon < rest.lastIndexOf(QLatin1Char(']')) || colon == rest.size() - 1)
        return unusable(path, QStringLiteral("\"%1\" names no port; %2").arg(name, wanted));
    const QString hostText = rest.left(colon);
    const QString portText = rest.mid(colon + 1);
    bool isNumber = portText.size() <= 5;
    for (const QChar c : portText)
        isNumber = isNumber && c >= u'0' && c <= u'9';
    const int port = isNumber ? portText.toInt() : -1;
    if (!isNumber)
        return unusable(path, QStringLiteral("\"%1\" is not a port number").arg(portText));
    if (port < 1 || port > 65535)
        return unusable(path, QStringLiteral("port %1 is outside 1 to 65535").arg(port));
    if (hostText.isEmpty())
        return unusable(path, QStringLiteral("\"%1\" names no host; %2").arg(name, wanted));
    if (hostText.contains(QLatin1Char(':')) && !hostText.startsWith(QLatin1Char('[')))
        return unusable(path, QStringLiteral("an IPv6 address goes in brackets, as in "
                                             "socket://[::1]:4001"));
    QUrl url;
    url.setHost(hostText, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return unusable(path, QStringLiteral("\"%1\" is not a host name or address").arg(hostText));

    PortTarget target;
    target.kind = PortTarget::Kind::Network;
    target.path = path;
    target.host = url.host();
    target.tcpPort = quint16(port);
    target.shown = kNetworkScheme + hostText + QLatin1Char(':') + QString::number(port);
    return target;
}

#ifndef Q_OS_WIN
// The longest socket path Qt connects to: the address keeps room for a NUL on either side.
constexpr qsizetype kMaxSocketPath = sizeof(sockaddr_un::sun_path) - 2;
#endif

// unix:PATH with an absolute PATH of plain characters.
PortTarget parseLocalName(const QString& path, const QString& name) {
#ifdef Q_OS_WIN
    Q_UNUSED(name);
    return unusable(path, QStringLiteral("a unix: socket, which Windows does not have; name a COM "
                                         "port, pipe:NAME or socket://HOST:PORT"));
#else
    const QString socket = name.mid(kLocalScheme.size());
    const QString wanted = QStringLiteral("write unix:/PATH/TO/SOCKET");
    if (socket.isEmpty())
        return unusable(path, QStringLiteral("\"%1\" names no socket; %2").arg(name, wanted));
    for (const QChar c : socket) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return unusable(path, QStringLiteral("the socket path holds a control character "
                                                 "(%1); %2")
                                      .arg(escapeControls(QStringView(&c, 1)), wanted));
    }
    if (!socket.startsWith(QLatin1Char('/')))
        return unusable(path,
                        QStringLiteral("\"%1\" is not an absolute path; %2").arg(socket, wanted));
    if (QFile::encodeName(socket).size() > kMaxSocketPath)
        return unusable(path, QStringLiteral("the socket path is longer than the %1 bytes a "
                                             "socket address holds")
                                  .arg(kMaxSocketPath));
    PortTarget target;
    target.kind = PortTarget::Kind::Local;
    target.path = path;
    target.socketPath = socket;
    target.shown = kLocalScheme + socket;
    return target;
#endif
}

// pipe:NAME or pipe:\\.\pipe\NAME, a named pipe on this PC where a
// projector-sharing service listens; NAME of letters, digits, ., - and _, as
// the service takes it. A pipe on another PC (\\HOST\pipe\...) is refused:
// the service shares the line with other PCs over TCP.
PortTarget parsePipeName(const QString& path, const QString& name) {
#ifndef Q_OS_WIN
    Q_UNUSED(name);
    return unusable(path, QStringLiteral("a named pipe, which only Windows has; name a unix: "
                                         "socket or socket://HOST:PORT"));
#else
    QString pipe = name.mid(kPipeScheme.size());
    if (pipe.startsWith(kLocalPipePrefix, Qt::CaseInsensitive))
        pipe = pipe.mid(kLocalPipePrefix.size());
    const QString wanted = QStringLiteral("write pipe:NAME, as in pipe:kavo-projectord-projector");
    if (pipe.isEmpty())
        return unusable(path, QStringLiteral("\"%1\" names no pipe; %2").arg(name, wanted));
    if (pipe.startsWith(QLatin1Char('\\')))
        return unusable(path, QStringLiteral("\"%1\" is not a pipe on this PC; %2")
                                  .arg(escapeControls(name), wanted));
    if (pipe.size() > kMaxPipeName)
        return unusable(
            path, QStringLiteral("the pipe's name is longer than %1 characters").arg(kMaxPipeName));
    for (const QChar c : pipe) {
        const bool allowed = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                             (c >= u'0' && c <= u'9') || c == u'.' || c == u'-' || c == u'_';
        if (!allowed)
            return unusable(path, QStringLiteral("the pipe's name holds \"%1\"; it takes letters, "
                                                 "digits, ., - and _")
                                      .arg(escapeControls(QStringView(&c, 1))));
    }
    PortTarget target;
    target.kind = PortTarget::Kind::Local;
    target.path = path;
    target.socketPath = kLocalPipePrefix + pipe;
    target.shown = kPipeScheme + target.socketPath;
    return target;
#endif
}

// What `text` stands for when it is a socket://HOST:PORT, unix:PATH or
// pipe:NAME name.
std::optional<PortTarget> parseConnectionName(const QString& path, const QString& text) {
    if (text.startsWith(kNetworkScheme, Qt::CaseInsensitive))
        return parseNetworkName(path, text);
    if (text.startsWith(kLocalScheme, Qt::CaseInsensitive))
        return parseLocalName(path, text);
    if (text.startsWith(kPipeScheme, Qt::CaseInsensitive))
        return parsePipeName(path, text);
    return std::nullopt;
}

#ifdef Q_OS_WIN
// COM1 to COM9 name the serial ports in every folder on Windows before 11
// (and under Wine), so an entry COM3 is reached by its full path after
// \\?\, which Windows takes as written. Qt drops that prefix, so the entry
// is looked at and read through the system's own calls.
std::wstring entryFile(const QString& path) {
    return (QStringLiteral("\\\\?\\") +
            QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()))
        .toStdWString();
}

bool isEntryFile(const QString& path) {
    const DWORD attributes = ::GetFileAttributesW(entryFile(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// At most `limit` bytes from the start of the entry; the system's words when
// it cannot be read.
std::optional<QByteArray> readEntryHead(const QString& path, qsizetype limit, QString& error) {
    const HANDLE file =
        ::CreateFileW(entryFile(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = qt_error_string(int(::GetLastError()));
        return std::nullopt;
    }
    QByteArray head(limit, Qt::Uninitialized);
    DWORD read = 0;
    const bool ok = ::ReadFile(file, head.data(), DWORD(limit), &read, nullptr);
    if (!ok)
        error = qt_error_string(int(::GetLastError()));
    ::CloseHandle(file);
    if (!ok)
        return std::nullopt;
    head.truncate(read);
    return head;
}
#else
bool isEntryFile(const QString& path) {
    return QFileInfo(path).isFile();
}

std::optional<QByteArray> readEntryHead(const QString& path, qsizetype limit, QString& error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return std::nullopt;
    }
    return file.read(limit);
}
#endif

// The first line of a port folder entry that is a regular file, at most
// kMaxEntryLine bytes of it.
PortTarget readEntry(const QString& path) {
    QString error;
    const std::optional<QByteArray> read = readEntryHead(path, kMaxEntryLine + 1, error);
    if (!read)
        return unusable(path, QStringLiteral("the entry cannot be read: %1").arg(error));
    const QByteArray& head = *read;
    qsizetype end = head.indexOf('\n');
    if (end < 0) {
        if (head.size() > kMaxEntryLine)
            return unusable(path, QStringLiteral("its first line is longer than %1 bytes; %2")
                                      .arg(kMaxEntryLine)
                                      .arg(kEntryHolds));
        end = head.size();
    }
    const QByteArray line = head.left(end).trimmed();
    if (line.isEmpty())
        return unusable(path, QStringLiteral("the entry is empty; %1").arg(kEntryHolds));
    for (const char c : line) {
        if (c < 0x20 || c > 0x7e)
            return unusable(
                path, QStringLiteral("its first line is not plain text; %1").arg(kEntryHolds));
    }
    const QString name = QString::fromLatin1(line);
    if (std::optional<PortTarget> target = parseConnectionName(path, name))
        return *std::move(target);
#ifdef Q_OS_WIN
    return unusable(
        path,
        QStringLiteral("\"%1\" is neither socket://HOST:PORT nor pipe:NAME").arg(name.left(60)));
#else
    return unusable(path, QStringLiteral("\"%1\" is neither socket://HOST:PORT nor unix:PATH nor "
                                         "a link to a device")
                              .arg(name.left(60)));
#endif
}

bool inPortFolder(const QFileInfo& info) {
    return QDir::cleanPath(info.absolutePath()) == QDir::cleanPath(portFolder());
}

QString presence(const QString& shown, bool present, const QString& detail = {}) {
    QString text =
        shown + (present ? QStringLiteral(" - present") : QStringLiteral(" - not present"));
    if (!detail.isEmpty())
        text += QStringLiteral(" (%1)").arg(detail);
    return text;
}

// The far end of a connection sets the line's speed itself.
QString ownSpeed(const QString& farEnd) {
    return farEnd + QStringLiteral(": its own baud rate applies, not the one chosen here");
}
const QString kServerSetsSpeed = ownSpeed(QStringLiteral("network serial server"));
const QString kServiceSetsSpeed = ownSpeed(QStringLiteral("projector-sharing service"));

#ifndef Q_OS_WIN
bool simulatorRunning(qint64 pid) {
    if (!processRunning(pid))
        return false;
    // A process id can be reused: it must still be a simulator.
    QFile name(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!name.open(QIODevice::ReadOnly))
        return true;
    return name.readLine(64).startsWith("kavo-projector");
}
#endif

} // namespace

QString rawLinkTarget(const QString& path) {
#ifdef Q_OS_WIN
    Q_UNUSED(path);
    return {};
#else
    char target[4096];
    const ssize_t length =
        ::readlink(QFile::encodeName(path).constData(), target, sizeof target - 1);
    return length < 0 ? QString() : QFile::decodeName(QByteArray(target, length));
#endif
}

bool processRunning(qint64 pid) {
#ifdef Q_OS_WIN
    Q_UNUSED(pid);
    return true;
#else
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
#endif
}

QString simulatorRecordPath(const QString& entry) {
    return entry + QStringLiteral(".simulator");
}

LinkOwner simulatorLinkOwner(const QString& entry) {
#ifdef Q_OS_WIN
    Q_UNUSED(entry);
    return LinkOwner::Other;
#else
    QFile record(simulatorRecordPath(entry));
    if (!record.open(QIODevice::ReadOnly))
        return LinkOwner::Other;
    bool number = false;
    const qint64 pid = record.readLine(64).trimmed().toLongLong(&number);
    QByteArray line = record.readLine(4096);
    if (line.endsWith('\n'))
        line.chop(1);
    const QString target = QFile::decodeName(line);
    if (!number || target.isEmpty() || rawLinkTarget(entry) != target)
        return LinkOwner::Other;
    return simulatorRunning(pid) ? LinkOwner::LiveSimulator : LinkOwner::GoneSimulator;
#endif
}

bool isHiddenControl(QChar c) {
    const char16_t u = c.unicode();
    return u == 0x2028 || u == 0x2029 || (u >= 0x202a && u <= 0x202e) ||
           (u >= 0x2066 && u <= 0x2069) || u == 0x200e || u == 0x200f || u == 0x061c;
}

QString escapeControls(QStringView text) {
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        if (c == u'\n')
            shown += QLatin1String("\\n");
        else if (c == u'\t')
            shown += QLatin1String("\\t");
        else if (c == u'\\')
            shown += QLatin1String("\\\\");
        else if (c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() <= 0x9f))
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else if (isHiddenControl(c))
            shown += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

QString PortTarget::unusableReason() const {
    if (!noSuchDevice)
        return QStringLiteral("%1 is %2.").arg(escapeControls(path), problem);
    return QStringLiteral("No such device: %1 (%2).").arg(escapeControls(path), problem);
}

QString portFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/KAVO/ports");
}

QString portDevicePath(int number) {
    const QString entry = portFolder() + QStringLiteral("/COM%1").arg(number);
    const QFileInfo info(entry);
#ifdef Q_OS_WIN
    // A text entry (socket://HOST:PORT) is the port; without one, Windows' own COMn.
    if (isEntryFile(entry))
        return entry;
    return QStringLiteral("COM%1").arg(number);
#else
    // A dangling link still names the port: opening it then says the device is missing.
    if (info.exists() || info.isSymLink())
        return entry;
    return QStringLiteral("/dev/ttyS%1").arg(number - 1);
#endif
}

PortTarget resolvePortTarget(const QString& name) {
    if (std::optional<PortTarget> target = parseConnectionName(name, name))
        return *std::move(target);
    const QFileInfo info(name);
#ifndef Q_OS_WIN
    if (info.isSymLink()) {
        // "ln -s socket://HOST:PORT COM3": a link whose text is an address (or a
        // unix: name) stands for it.
        if (std::optional<PortTarget> target = parseConnectionName(name, rawLinkTarget(name)))
            return *std::move(target);
        if (inPortFolder(info) && simulatorLinkOwner(name) == LinkOwner::GoneSimulator)
            return unusable(name, QStringLiteral("stale link left by a simulator that is no "
                                                 "longer running"));
        struct stat end {};
        if (::stat(QFile::encodeName(name).constData(), &end) != 0 && errno == ELOOP) {
            PortTarget loop = unusable(name, QStringLiteral("a symlink loop"));
            loop.noSuchDevice = false;
            return loop;
        }
    }
#endif
    if (!info.isSymLink() && isEntryFile(name) && inPortFolder(info))
        return readEntry(name);
    PortTarget target;
    target.path = name;
    target.shown = escapeControls(info.isSymLink() ? info.symLinkTarget() : name);
    return target;
}

QString shownDevice(const QString& path) {
    return resolvePortTarget(path).shown;
}

QString localSocketProblem(const QString& path) {
#ifdef Q_OS_WIN
    // Waiting for a free instance, briefly, tells whether the pipe exists
    // without taking one: a service keeps one listening between clients.
    constexpr DWORD kPipeLookMs = 1;
    if (::WaitNamedPipeW(reinterpret_cast<const wchar_t*>(path.utf16()), kPipeLookMs))
        return {};
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND)
        return QStringLiteral("no such pipe");
    if (error == ERROR_SEM_TIMEOUT)
        return {}; // every instance is taken: the service is there, and busy
    QString words = qt_error_string(int(error));
    return words.isEmpty() ? words : words.front().toLower() + words.mid(1);
#else
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        if (errno == ENOENT)
            return QStringLiteral("no such socket file");
        QString words = qt_error_string(errno);
        return words.isEmpty() ? words : words.front().toLower() + words.mid(1);
    }
    return S_ISSOCK(info.st_mode) ? QString() : QStringLiteral("not a socket");
#endif
}

QString describePortDevice(int number, NetworkPorts& network, QObject* context,
                           std::function<void(const QString&)> update) {
    const QString path = portDevicePath(number);
    const PortTarget target = resolvePortTarget(path);
    switch (target.kind) {
    case PortTarget::Kind::Unusable:
        return presence(target.shown, false, target.problem);
    case PortTarget::Kind::Local: {
        const QString problem = localSocketProblem(target.socketPath);
        if (!problem.isEmpty())
            return presence(target.shown, false, problem);
        return presence(target.shown, true, kServiceSetsSpeed);
    }
    case PortTarget::Kind::Network:
        break;
    case PortTarget::Kind::Device:
#ifdef Q_OS_WIN
        return path; // "COMn": whether Windows has it is not looked up here
#else
        return presence(target.shown, QFileInfo::exists(path));
#endif
    }
    const auto described = [shown = target.shown](const QString& problem) {
        return problem.isEmpty() ? presence(shown, true, kServerSetsSpeed)
                                 : presence(shown, false, problem);
    };
    std::function<void(const QString&)> told;
    if (context && update)
        told = [described, update](const QString& problem) { update(described(problem)); };
    if (const std::optional<QString> problem = network.hostProblem(target.host, context, told))
        return described(*problem);
    return target.shown + QStringLiteral(" - looking up %1").arg(target.host);
}

} // namespace kavo
