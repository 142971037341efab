#pragma once

// Where a port that someone names becomes the implementation that talks to
// it. Every name is a serial device path today; another kind of port is
// chosen here, never inside an implementation.

#include "serial_port.h"

#include <memory>
#include <QString>

namespace kavo {

class PortFactory {
  public:
    virtual ~PortFactory() = default;
    // A closed port on the device; opening it tells whether it is usable.
    virtual std::unique_ptr<SerialPort> createPort(const QString& device) = 0;
};

class QtPortFactory final : public PortFactory {
  public:
    std::unique_ptr<SerialPort> createPort(const QString& device) override;
};

} // namespace kavo
