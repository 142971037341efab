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
    QString path;        // the name as given
    QString host;        // Network: host name or address, IPv6 without brackets
    quint16 tcpPort = 0; // Network
    QString shown;       // what the operator sees: the device, or socket://HOST:PORT
    QString problem;     // Unusable: why, in plain words

    // "No such device: <path> (<problem>)." for an unusable entry.
    QString unusableReason() const;
};

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
