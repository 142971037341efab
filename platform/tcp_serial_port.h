#pragma once

// The projector's serial line reached through a network serial server: a TCP
// connection in raw mode, each byte passed on to the server's serial port as
// it is. Characters map to bytes one to one (Latin-1). The baud rate is the
// server's own setting; the line settings given here are kept but not applied.
//
// Opening connects with a bounded wait (looking the host name up included).
// The event loop keeps running meanwhile, for timers and repaints, but user
// input and window closing wait until the connection is made or has failed:
// no handler starts that the operator did not already start. A second open
// during that wait fails at once, so a send then does what a send on a closed
// port does. A connection that drops is closed once and reported as a lost
// line; the port does not reconnect by itself.

#include "serial_port.h"

#include <chrono>
#include <QObject>
#include <QTcpSocket>

namespace kavo {

inline constexpr std::chrono::milliseconds kConnectTimeout{3000};

// Whether a host name lookup was given up in this process. The system
// resolver cannot be stopped: a program that must end within its bound then
// ends without waiting for such lookups (Qt waits for them at exit).
bool hostLookupAbandoned();
void noteHostLookupAbandoned();

class TcpSerialPort final : public QObject, public SerialPort {
    Q_OBJECT
  public:
    TcpSerialPort(QString host, quint16 tcpPort, QObject* parent = nullptr);
    ~TcpSerialPort() override;

    void setSettings(const QString& settings) override { m_settings = settings; }
    QString settings() const override { return m_settings; }
    void setPortNumber(int number) override { m_number = number; }
    int portNumber() const override { return m_number; }
    OpenResult open() override;
    void close() override;
    bool isOpen() const override { return m_open; }
    void write(const QString& text) override;
    QString readAll() override;

    void setConnectTimeout(std::chrono::milliseconds timeout) { m_connectTimeout = timeout; }
    // socket://HOST:PORT, as the operator wrote it in the port folder.
    QString name() const;

  private:
    QString connectFailure() const;
    void checkLine();

    QTcpSocket m_socket{this};
    QString m_host;
    quint16 m_tcpPort;
    QString m_settings = QStringLiteral("9600,N,8,1");
    int m_number = 1;
    std::chrono::milliseconds m_connectTimeout = kConnectTimeout;
    bool m_open = false;
    bool m_connecting = false;
    bool m_timedOut = false;
};

} // namespace kavo
