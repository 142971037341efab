#pragma once

// The one serial line to the projector, reduced to the operations the link
// needs: line settings text, port number, open/close, write bytes, read what
// has arrived, and a notification raised on the GUI thread whenever at least
// one byte is waiting. The line carries bytes; where a program shows them as
// text, one character stands for one byte (Latin-1).

#include <functional>
#include <QByteArray>
#include <QString>

namespace kavo {

// What the port reports through its notification. Receive matches the
// classic "characters received" event number; the others say the line is gone.
enum class CommEvent { Receive = 2, LineLost = 1001 };

struct OpenResult {
    bool ok = false;
    QString reason; // plain words for the operator when !ok
    explicit operator bool() const { return ok; }
};

class SerialPort {
  public:
    using EventHandler = std::function<void(CommEvent)>;

    virtual ~SerialPort() = default;

    // Line settings as "baud,parity,data,stop", for example "19200,N,8,1".
    virtual void setSettings(const QString& settings) = 0;
    virtual QString settings() const = 0;

    virtual void setPortNumber(int number) = 0;
    virtual int portNumber() const = 0;

    virtual OpenResult open() = 0;
    // Opens without waiting in an event loop of its own where the port can
    // (a connection is made while the caller's loop runs); `done` is told the
    // outcome, possibly before this returns. The panel opens with open(): its
    // operator waits for the port; a service goes on serving meanwhile.
    virtual void openAsync(std::function<void(const OpenResult&)> done) { done(open()); }
    // The device the last successful open used, as the operator sees it
    // ("/dev/ttyUSB0", "socket://10.0.0.5:4001"); empty where it is not known.
    virtual QString deviceName() const { return {}; }
    virtual void close() = 0;
    virtual bool isOpen() const = 0;

    // Why the far end ended the connection, in its own words, when it said
    // so (a projector-sharing service whose own line is down); else empty.
    // Kept until the next open.
    virtual QString farEndReason() const { return {}; }

    // Writes the bytes, adding nothing. Does nothing when closed.
    virtual void write(const QByteArray& bytes) = 0;
    // Everything received and not yet read, removed from the port.
    virtual QByteArray readAll() = 0;

    void setEventHandler(EventHandler handler) { m_handler = std::move(handler); }

  protected:
    void raise(CommEvent event) {
        if (m_handler)
            m_handler(event);
    }

  private:
    EventHandler m_handler;
};

} // namespace kavo
