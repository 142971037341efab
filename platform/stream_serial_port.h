#pragma once

// What the ports on a connection share, whatever carries it (a TCP connection
// to a network serial server, a Unix-domain socket of a projector-sharing
// service): the byte stream stands for the serial line, characters map to
// bytes one to one (Latin-1). The baud rate is the far end's own setting; the
// line settings given here are kept but not applied.
//
// Opening connects with a bounded wait. The event loop keeps running
// meanwhile, for timers and repaints, but user input and window closing wait
// until the connection is made or has failed: no handler starts that the
// operator did not already start. A second open during that wait fails at
// once, so a send then does what a send on a closed port does; closing gives
// the attempt up. A connection that drops is closed once and reported as a
// lost line; the port does not reconnect by itself. A projector-sharing
// service whose own line is down says so before it ends the connection; its
// words are the port's farEndReason(), never bytes of the line.

#include "serial_port.h"

#include <chrono>
#include <functional>
#include <QAbstractSocket>
#include <QObject>
#include <QTimer>

class QEventLoop;
class QIODevice;

namespace kavo {

inline constexpr std::chrono::milliseconds kConnectTimeout{3000};

class StreamSerialPort : public QObject, public SerialPort {
  public:
    void setSettings(const QString& settings) final { m_settings = settings; }
    QString settings() const final { return m_settings; }
    void setPortNumber(int number) final { m_number = number; }
    int portNumber() const final { return m_number; }
    OpenResult open() final;
    void openAsync(std::function<void(const OpenResult&)> done) final;
    QString deviceName() const final { return name(); }
    void close() final;
    bool isOpen() const final { return m_open; }
    void write(const QByteArray& bytes) final;
    QByteArray readAll() final;
    QString farEndReason() const final { return m_farEndReason; }

    void setConnectTimeout(std::chrono::milliseconds timeout) { m_connectTimeout = timeout; }
    // The far end as the operator names it: socket://HOST:PORT, unix:PATH.
    virtual QString name() const = 0;

  protected:
    // `stream` is the connection's socket, a member of the derived port, not
    // yet made here. The derived port passes its arrivals on as Receive and
    // its state changes and errors to linkChanged(), and disconnects them
    // before the socket goes.
    StreamSerialPort(QIODevice& stream, QObject* parent);

    void linkChanged();
    // The derived port's arrivals: passed on as Receive, unless they are (or
    // may still become) a service's line-down notice.
    void arrived();

    virtual void connectToFarEnd() = 0;
    // The socket's state; Connecting covers a host name lookup as well.
    virtual QAbstractSocket::SocketState linkState() const = 0;
    // Drops the connection or the attempt at once.
    virtual void abortLink() = 0;
    // Ends the connection after what was written has gone out.
    virtual void closeLink() = 0;
    // Hands what was written to the system now rather than on the next loop turn.
    virtual void flushLink() = 0;
    // Why the attempt failed, from the socket's error (not a time-out, not a close).
    virtual QString connectFailure() const = 0;
    virtual void connectionMade() {}
    // The connect bound has passed; the attempt is still as it was.
    virtual void connectTimedOut() {}

  private:
    // Readies a new attempt; fails when one is running or the port is open.
    OpenResult beginOpen();
    // The attempt's outcome, from the link's state.
    OpenResult endOpen();
    void settleAsyncOpen();

    QIODevice& m_stream;
    QString m_settings = QStringLiteral("9600,N,8,1");
    int m_number = 1;
    std::chrono::milliseconds m_connectTimeout = kConnectTimeout;
    QEventLoop* m_wait = nullptr;
    bool m_open = false;
    bool m_connecting = false;
    bool m_timedOut = false;
    bool m_givenUp = false;
    // An open without a loop of its own: told when the connection is made or not.
    std::function<void(const OpenResult&)> m_pendingOpen;
    QTimer m_openDeadline;
    QByteArray m_held; // the start of what may be a notice
    QTimer m_release;  // held bytes that never became one go on then
    QString m_farEndReason;
};

} // namespace kavo
