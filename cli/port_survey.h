#pragma once

// What `kavoctl ports` shows: COM1..COM15 with the device each stands for and
// whether it opens, then the serial devices the system has. Host names of
// network entries are looked up side by side under one time bound, so that
// slow lookups cost that bound once, not once each.

#include "port_factory.h"

#include <QStringList>

namespace kavo::cli {

// One tab-separated line per port, "stored" behind the one the panel uses,
// then "device\t<path>\t<stable name>" per serial device present.
QStringList surveyPorts(PortFactory& ports, int storedPort);

} // namespace kavo::cli
