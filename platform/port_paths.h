#pragma once

// How a port number 1..n becomes a device. On Windows port n is "COMn".
// Elsewhere the per-user port folder (<generic config>/KAVO/ports) may hold an
// entry "COM<n>", normally a symbolic link to a device such as /dev/ttyUSB0;
// that entry is port n. Without one, port n is /dev/ttyS<n-1>.
//
// An entry may instead be a small text file whose first line is
// socket://HOST:PORT: the port is then a TCP connection to a network serial
// server in raw mode, which passes the bytes to the projector's serial line.

#include <functional>
#include <QString>

class QObject;

namespace kavo {

QString portFolder();

// The text with control characters written out (\n, \t, \x1b ...), so that a
// name shown on one line stays one line.
QString escapeControls(QStringView text);
QString portDevicePath(int number);

// Longest first line read from a port folder entry; the rest is never read.
inline constexpr qsizetype kMaxEntryLine = 1024;

// What a port name stands for: a device path, a port folder entry or a
// socket://HOST:PORT name, as resolved at the moment of asking.
struct PortTarget {
    enum class Kind { Device, Network, Unusable };
    Kind kind = Kind::Device;
    QString path;             // the name as given
    QString host;             // Network: host name or address, IPv6 without brackets
    quint16 tcpPort = 0;      // Network
    QString shown;            // what the operator sees: the device, or socket://HOST:PORT
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
// name is a device path unless it is itself a socket://HOST:PORT name.
PortTarget resolvePortTarget(const QString& name);

// The device a port path stands for: the target of a port folder link, the
// socket:// name of a network entry, else the path.
QString shownDevice(const QString& path);

// "<device> - present" / "<device> - not present", for tooltips. A network
// port is present when its host name resolves; it is never connected to for
// this. A name that needs looking up is first described as being looked up;
// when `context` is given, `update` later receives the final text (unless
// `context` is gone by then).
QString describePortDevice(int number, QObject* context = nullptr,
                           std::function<void(const QString&)> update = {});

} // namespace kavo
