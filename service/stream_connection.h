#pragma once

// One connection of a stream front end (the socket's and TCP clients,
// PJLink, and the web page next), its whole life in one place: the bytes it
// sends cut at CR into lines of a bounded length, a bounded read-ahead, a cap
// on what it leaves unread, an idle time, and its end, told once. A front end
// adds only its protocol: what a line means and what goes back.

#include "timer.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <QByteArray>
#include <QObject>
#include <QString>

class QIODevice;

namespace kavo::service {

struct ConnectionLimits {
    qsizetype longestLine = 256; // without its CR
    qint64 readAhead = 64 * 1024;
    qint64 unreadOutput = 1024 * 1024;
    // Closed after this long without a line; none when empty.
    std::optional<std::chrono::milliseconds> idle;
    // A line past the longest ends the connection; else it is dropped and told.
    bool closeOnOverlong = false;
};

class StreamConnection final : public QObject {
    Q_OBJECT
  public:
    struct Handlers {
        std::function<void(const QByteArray& line)> line; // without its CR
        // A line past the longest: once as it passes (`length` the longest),
        // then at its CR with its whole length. Only when it does not close.
        std::function<void(qsizetype length, bool atEnd)> overlong;
        // The end, whatever ended it: told once, then the object goes.
        std::function<void(const QString& why)> ended;
    };

    // Takes over `socket` (a QLocalSocket or a QAbstractSocket), already connected.
    StreamConnection(QIODevice* socket, ConnectionLimits limits, TimerFactory& timers,
                     Handlers handlers, QObject* parent);
    ~StreamConnection() override;

    // Sends; a peer that leaves more than the unread limit is let go.
    void write(const QByteArray& bytes);
    // Sends these last bytes, ends this side of the connection and reads (and
    // drops) whatever still comes, until the peer goes or `linger` passes.
    void finishWith(const QByteArray& bytes, std::chrono::milliseconds linger, const QString& why);
    // Ends the connection now; the object is deleted on the next turn.
    void end(const QString& why);

    void setLongestLine(qsizetype longest) { m_limits.longestLine = longest; }
    // Closed after `idle` without a line, saying `why` (default: "closed:
    // nothing sent for N s").
    void setIdle(std::chrono::milliseconds idle, const QString& why = {});
    bool finishing() const { return m_finishing; }
    // Starts reading: what came with the connection is read now.
    void start();

  private:
    void readAvailable();
    void flushAndShutDown();

    QIODevice* m_socket;
    ConnectionLimits m_limits;
    Handlers m_handlers;
    std::unique_ptr<Timer> m_idle;
    QByteArray m_line;
    qsizetype m_overlong = 0; // bytes of the current line past the longest
    bool m_finishing = false;
    bool m_ended = false;
    QString m_finishWhy;
    QString m_idleWhy;
};

} // namespace kavo::service
