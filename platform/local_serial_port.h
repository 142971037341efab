#pragma once

// The projector's serial line shared by a projector-sharing service on this
// machine: a connection to the local endpoint where the service listens, the
// Unix-domain stream socket (unix:PATH) or on Windows the named pipe
// (pipe:\\.\pipe\NAME), each byte passed through as on the line. The service
// owns the line and its baud rate. What it shares with the other ports on a
// connection is in stream_serial_port.h.

#include "stream_serial_port.h"

#include <QLocalSocket>
#include <QTimer>

namespace kavo {

class LocalSerialPort final : public StreamSerialPort {
    Q_OBJECT
  public:
    // The socket's absolute path, or on Windows the pipe's \\.\pipe\NAME.
    explicit LocalSerialPort(QString socketPath, QObject* parent = nullptr);
    ~LocalSerialPort() override;

    // unix:PATH, or pipe:\\.\pipe\NAME on Windows
    QString name() const override;

  private:
    void connectToFarEnd() override;
    QAbstractSocket::SocketState linkState() const override;
    void abortLink() override;
    void closeLink() override { m_socket.disconnectFromServer(); }
    void flushLink() override { m_socket.flush(); }
    QString connectFailure() const override;

    QLocalSocket m_socket{this};
    // While it runs, a service whose queue is full is asked again.
    QTimer m_retry;
    QString m_path;
    // Why the last attempt failed, where the socket was never given a pipe.
    QString m_refusal;
};

} // namespace kavo
