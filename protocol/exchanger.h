#pragma once

// One command at a time on the line: send it with its CR, collect the reply
// until its CR, a lone ACK or the end of the reply window, and render both as
// the panel does, decoding the reply of a status read. Nothing waits: the
// port's receive notification and timers drive it.
//
// After an exchange that ended without its CR or ACK, the rest of a late
// reply may still be on its way: the next command is sent only once the line
// has been quiet for kSettleTime (at most kSettleLimit after it is due), and
// what arrives meanwhile is dropped, so that it is never taken for the next
// command's reply. An exchange cut short by its own sender's next command
// (a held button's pace) leaves the line unsettled for anyone else's.

#include "serial_port.h"
#include "timer.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <QString>

namespace kavo {

inline constexpr std::chrono::milliseconds kSettleTime{250};
inline constexpr std::chrono::milliseconds kSettleLimit{3000};

enum class ReplyKind {
    Answered,   // ended by its CR or a lone ACK (and decoded, for a status read)
    NoReply,    // nothing arrived within the reply window
    LineLost,   // the device went away (perhaps after part of a reply)
    Refused,    // "?": the projector does not know the command
    Unfinished, // something arrived, but no CR or lone ACK within the window
    Overflow,   // more than the receive buffer holds, without a CR
    Undecoded,  // a status read whose reply is not one of the panel's texts
                // or not of the read's length
};

// Whether the reply ended as replies do, with its CR or a lone ACK.
bool endedProperly(ReplyKind kind);

struct Exchange {
    QString command;    // without its CR
    QString reply;      // what arrived, at most the receive buffer's capacity
    QString sentTrace;  // as the panel's TxD line shows it
    QString replyTrace; // as the panel's RxD line shows it, " X X X X" for no reply
    bool statusRead = false;
    std::optional<QString> status; // the decoded text of an answered status read
    ReplyKind kind = ReplyKind::NoReply;
};

class Exchanger {
  public:
    using Done = std::function<void(const Exchange&)>;

    Exchanger(SerialPort& port, TimerFactory& timers, std::chrono::milliseconds replyWindow);
    ~Exchanger();
    Exchanger(const Exchanger&) = delete;
    Exchanger& operator=(const Exchanger&) = delete;

    // Sends the command (its text, without CR) and calls done once the
    // exchange has ended; done may start the next one. `cutsOwn`: the
    // command comes from the sender whose exchange endNow() cut, and goes
    // out at once, as on a direct line; anyone else's waits for the line to
    // settle first.
    void exchange(const QString& command, Done done, bool cutsOwn = false);

    // Ends the running exchange now with what has arrived, as the next
    // command on a direct line would. Does nothing between exchanges.
    void endNow();
    bool busy() const { return static_cast<bool>(m_done); }

    // Told of what arrives outside an exchange before it is dropped: `late`
    // when it may be the rest of an earlier reply, else unasked.
    void setStrayHandler(std::function<void(const QString& received, bool late)> stray) {
        m_stray = std::move(stray);
    }

  private:
    enum class Ending { Normal, LineLost, Cut };
    void send();
    void onComm(CommEvent event);
    void finish(Ending ending = Ending::Normal);

    SerialPort& m_port;
    std::unique_ptr<Timer> m_window;
    std::unique_ptr<Timer> m_quiet;       // settling: restarted by every arrival
    std::unique_ptr<Timer> m_settleLimit; // settling: sends even if never quiet
    bool m_settleNext = false;            // the last exchange ended without CR or ACK
    bool m_cutUnsettled = false;          // it was cut before its CR or ACK
    bool m_settling = false;
    QString m_line;
    QString m_buffer;
    bool m_overflow = false;
    Done m_done;
    std::function<void(const QString&, bool)> m_stray;
};

} // namespace kavo
