#pragma once

// The projector's serial line reached through a network serial server: a TCP
// connection in raw mode, each byte passed on to the server's serial port as
// it is. The connect wait covers looking the host name up. What it shares
// with the other ports on a connection is in stream_serial_port.h.

#include "stream_serial_port.h"

#include <QTcpSocket>

namespace kavo {

// Whether a host name lookup was given up in this process. The system
// resolver cannot be stopped: a program that must end within its bound then
// ends without waiting for such lookups (Qt waits for them at exit).
bool hostLookupAbandoned();
void noteHostLookupAbandoned();

class TcpSerialPort final : public StreamSerialPort {
    Q_OBJECT
  public:
    TcpSerialPort(QString host, quint16 tcpPort, QObject* parent = nullptr);
    ~TcpSerialPort() override;

    // socket://HOST:PORT, as the operator wrote it in the port folder.
    QString name() const override;

  private:
    void connectToFarEnd() override;
    QAbstractSocket::SocketState linkState() const override { return m_socket.state(); }
    void abortLink() override { m_socket.abort(); }
    void closeLink() override;
    void flushLink() override { m_socket.flush(); }
    QString connectFailure() const override;
    void connectionMade() override;
    void connectTimedOut() override;

    QTcpSocket m_socket{this};
    QString m_host;
    quint16 m_tcpPort;
};

} // namespace kavo
