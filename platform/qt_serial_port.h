#pragma once

// The product serial port on QSerialPort. Characters map to bytes one to one
// (Latin-1). A read, resource or write error closes the port at once, once,
// and is reported as a lost line; the port does not reopen by itself.
// The device is fixed at construction; the port number is only kept. A link
// (a port folder entry) is opened as the device it points to at that moment,
// so that the lock file is the device's own, the one every serial program
// honours, and not one named after the link that anybody could make first.

#include "serial_port.h"

#include <QObject>
#include <QSerialPort>

namespace kavo {

// What to do about a device the user may not open: join its group where that
// is a serial-line group, else ask for access; never advice to join any other
// group (root, disk, wheel ... would hand out far more than the port).
QString permissionDeniedReason(const QString& device, const QString& owningGroup);

// The lock file that serial programs, Qt's serial port among them, use for a
// device: LCK..<name below /dev, "/" as "_"> in the first lock folder usable.
QString serialLockFilePath(const QString& device);

// Who holds a device's lock file, in plain words; empty when nobody does.
QString lockHolder(const QString& device);

class QtSerialPort final : public QObject, public SerialPort {
    Q_OBJECT
  public:
    explicit QtSerialPort(QString device, QObject* parent = nullptr);
    ~QtSerialPort() override;

    void setSettings(const QString& settings) override;
    QString settings() const override { return m_settings; }
    void setPortNumber(int number) override { m_number = number; }
    int portNumber() const override { return m_number; }
    OpenResult open() override;
    void close() override;
    bool isOpen() const override { return m_port.isOpen(); }
    void write(const QByteArray& bytes) override;
    QByteArray readAll() override;

    // The line settings the device was given, as "19200,N,8,1" with
    // ",RTS/CTS" or ",XON/XOFF" behind when flow control is on; for
    // diagnostics and tests.
    QString lineSettings() const;

  private:
    void onError(QSerialPort::SerialPortError error);

    QSerialPort m_port{this};
    QString m_device;
    QString m_settings = QStringLiteral("9600,N,8,1");
    int m_number = 1;
};

} // namespace kavo
