#pragma once

// Where a port that someone names becomes the implementation that talks to
// it: a serial device through Qt's serial port, a network serial server
// (socket://HOST:PORT, or a port folder entry holding that) through a TCP
// connection, a projector-sharing service (unix:PATH) through its
// Unix-domain socket. Another kind of port is chosen here, never inside an
// implementation.

#include "network_ports.h"
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

// Serial devices through Qt's serial port; ports on a connection through the
// network ports given, linked or loaded.
class QtPortFactory final : public PortFactory {
  public:
    explicit QtPortFactory(NetworkPorts& network) : m_network(network) {}
    std::unique_ptr<SerialPort> createPort(const QString& device) override;

  private:
    NetworkPorts& m_network;
};

// A port that names nothing usable: every open says `reason`.
std::unique_ptr<SerialPort> unusablePort(QString reason);

// The panel's port: the port number chooses the device afresh at every open,
// so a changed port folder entry (another adapter, another server) takes
// effect at the next open. Everything else goes to the port made for it.
class PortByNumber final : public SerialPort {
  public:
    explicit PortByNumber(PortFactory& factory);
    ~PortByNumber() override;

    void setSettings(const QString& settings) override;
    QString settings() const override { return m_settings; }
    void setPortNumber(int number) override { m_number = number; }
    int portNumber() const override { return m_number; }
    OpenResult open() override;
    QString deviceName() const override { return m_deviceName; }
    void close() override;
    bool isOpen() const override;
    void write(const QByteArray& bytes) override;
    QByteArray readAll() override;

  private:
    PortFactory& m_factory;
    QString m_deviceName;
    std::unique_ptr<SerialPort> m_port;
    QString m_settings = QStringLiteral("9600,N,8,1");
    int m_number = 1;
    bool m_opening = false;
};

} // namespace kavo
