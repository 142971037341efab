#include "port_factory.h"

#include "port_paths.h"
#include "qt_serial_port.h"

namespace kavo {
namespace {

// A port folder entry that names nothing usable, or a port that cannot be
// made here: every open says why.
class UnusablePort final : public SerialPort {
  public:
    explicit UnusablePort(QString reason) : m_reason(std::move(reason)) {}
    void setSettings(const QString& settings) override { m_settings = settings; }
    QString settings() const override { return m_settings; }
    void setPortNumber(int number) override { m_number = number; }
    int portNumber() const override { return m_number; }
    OpenResult open() override { return {false, m_reason}; }
    void close() override {}
    bool isOpen() const override { return false; }
    void write(const QByteArray&) override {}
    QByteArray readAll() override { return {}; }

  private:
    QString m_reason;
    QString m_settings;
    int m_number = 1;
};

} // namespace

std::unique_ptr<SerialPort> unusablePort(QString reason) {
    return std::make_unique<UnusablePort>(std::move(reason));
}

std::unique_ptr<SerialPort> QtPortFactory::createPort(const QString& device) {
    const PortTarget target = resolvePortTarget(device);
    switch (target.kind) {
    case PortTarget::Kind::Network:
        return m_network.tcpPort(target.host, target.tcpPort);
    case PortTarget::Kind::Local:
        return m_network.localPort(target.socketPath);
    case PortTarget::Kind::Unusable:
        return unusablePort(target.unusableReason());
    case PortTarget::Kind::Device:
        break;
    }
    return std::make_unique<QtSerialPort>(device);
}

PortByNumber::PortByNumber(PortFactory& factory) : m_factory(factory) {}

PortByNumber::~PortByNumber() = default;

void PortByNumber::setSettings(const QString& settings) {
    m_settings = settings;
    if (m_port)
        m_port->setSettings(settings);
}

OpenResult PortByNumber::open() {
    // Connecting to a network port lets timers run; one of them may send.
    if (m_opening)
        return {false, QStringLiteral("The port is still being opened.")};
    if (isOpen())
        return {false, QStringLiteral("The port is already open.")};
    if (m_number < 1)
        return {false, QStringLiteral("No port is chosen.")};
    m_opening = true;
    const QString path = portDevicePath(m_number);
    m_port = m_factory.createPort(path);
    m_port->setSettings(m_settings);
    m_port->setPortNumber(m_number);
    m_port->setEventHandler([this](CommEvent event) { raise(event); });
    const OpenResult result = m_port->open();
    m_opening = false;
    if (result)
        m_deviceName = shownDevice(path);
    return result;
}

void PortByNumber::close() {
    if (m_port)
        m_port->close();
}

bool PortByNumber::isOpen() const {
    return m_port && m_port->isOpen();
}

void PortByNumber::write(const QByteArray& bytes) {
    if (m_port)
        m_port->write(bytes);
}

QByteArray PortByNumber::readAll() {
    return m_port ? m_port->readAll() : QByteArray();
}

} // namespace kavo
