#pragma once

// How a port number 1..n becomes a device. The per-user port folder
// (<generic config>/KAVO/ports) may hold an entry "COM<n>"; that entry is
// port n. Elsewhere than on Windows it is normally a symbolic link to a
// device such as /dev/ttyUSB0; without one, port n is /dev/ttyS<n-1>. On
// Windows only a text entry counts; without one, port n is "COMn".
//
// An entry may instead be a small text file whose first line names a
// connection that carries the serial line byte for byte:
// - socket://HOST:PORT, a TCP connection to a network serial server in raw
//   mode, which passes the bytes to the projector's serial line;
// - unix:PATH (not on Windows), the Unix-domain stream socket at the absolute
//   PATH where a projector-sharing service listens;
// - pipe:NAME or pipe:\\.\pipe\NAME (Windows only), the named pipe on this
//   PC where a projector-sharing service listens.
// A link whose text is such a name stands for it too, and either name can be
// given wherever a device path is.

#include <functional>
#include <QString>

class QObject;

namespace kavo {

class NetworkPorts;

QString portFolder();

// The text with control characters written out (\n, \t, \x1b ...), so that a
// name shown on one line stays one line.
// C0 and C1 controls and DEL become \xNN; the characters that break a line
// or turn the text's direction without being seen (U+2028, U+2029, the
// bidirectional embeddings, overrides, isolates and marks) become \uNNNN.
QString escapeControls(QStringView text);
// Whether the character is one of those that break a line or turn the text's
// direction without being seen.
bool isHiddenControl(QChar c);
QString portDevicePath(int number);

// Longest first line read from a port folder entry; the rest is never read.
inline constexpr qsizetype kMaxEntryLine = 1024;

// What a port name stands for: a device path, a port folder entry, a
// socket://HOST:PORT, a unix:PATH or a pipe:NAME name, as resolved at the
// moment of asking.
struct PortTarget {
    enum class Kind { Device, Network, Local, Unusable };
    Kind kind = Kind::Device;
    QString path;             // the name as given
    QString host;             // Network: host name or address, IPv6 without brackets
    quint16 tcpPort = 0;      // Network
    QString socketPath;       // Local: the socket's absolute path, or \\.\pipe\NAME
    QString shown;            // the device, socket://HOST:PORT, unix:PATH, pipe:\\.\pipe\NAME
    QString problem;          // Unusable: why, in plain words
    bool noSuchDevice = true; // Unusable: the problem explains a missing device

    // "No such device: <path> (<problem>)." for an unusable entry, or
    // "<path> is <problem>." when it is not about a missing device.
    QString unusableReason() const;
};

// The target of a link as written (not made absolute); empty for no link.
QString rawLinkTarget(const QString& path);

// Whether a process of this id exists (it may belong to another user).
bool processRunning(qint64 pid);

// The simulated projector keeps a record beside each link it makes in the
// port folder, COM<n>.simulator: its process id and the link's target, one a
// line, so that a link it could not remove (the simulator was killed) is
// known as stale even when its pseudo-terminal number is in use again by
// someone's terminal.
QString simulatorRecordPath(const QString& entry);

enum class LinkOwner {
    Other,         // no record, or one for another target: not the simulator's
    LiveSimulator, // made by a simulator that is running
    GoneSimulator, // made by a simulator that is no longer running
};
LinkOwner simulatorLinkOwner(const QString& entry);

// Text files are read only where they are port folder entries; anywhere else a
// name is a device path unless it is itself a socket://HOST:PORT or unix:PATH
// name.
PortTarget resolvePortTarget(const QString& name);

// The device a port path stands for: the target of a port folder link, the
// socket:// or unix: name of an entry, else the path.
QString shownDevice(const QString& path);

// Why nothing can listen at `path` for a unix: port (on Windows the
// \\.\pipe\NAME of a pipe: port), looked at without connecting: empty for a
// socket file or a pipe that exists, else "no such socket file", "not a
// socket", "no such pipe" or the system's words.
QString localSocketProblem(const QString& path);

// "<device> - present" / "<device> - not present", for tooltips. A network
// port is present when its host name resolves (asked of `network`), a unix:
// port when its socket file is there; neither is connected to for this. A
// name that needs looking up is first described as being looked up; when
// `context` is given, `update` later receives the final text (unless
// `context` is gone by then). On Windows a serial port is named without
// either.
QString describePortDevice(int number, NetworkPorts& network, QObject* context = nullptr,
                           std::function<void(const QString&)> update = {});

} // namespace kavo
