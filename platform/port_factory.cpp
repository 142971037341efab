#include "port_factory.h"

#include "qt_serial_port.h"

namespace kavo {

std::unique_ptr<SerialPort> QtPortFactory::createPort(const QString& device) {
    return std::make_unique<QtSerialPort>(device);
}

} // namespace kavo
