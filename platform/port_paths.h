#pragma once

// How a port number 1..n becomes a device. On Windows port n is "COMn".
// Elsewhere the per-user port folder (<generic config>/KAVO/ports) may hold an
// entry "COM<n>", normally a symbolic link to a device such as /dev/ttyUSB0;
// that entry is port n. Without one, port n is /dev/ttyS<n-1>.

#include <QString>

namespace kavo {

QString portFolder();
QString portDevicePath(int number);

// The device a port path stands for: the target of a port folder link, else the path.
QString shownDevice(const QString& path);

// "<device> - present" / "<device> - not present", for tooltips.
QString describePortDevice(int number);

} // namespace kavo
