#pragma once

// PJLink Class 2's datagrams, beside the TCP server and on the same port
// number: a controller's search ("%2SRCH", broadcast) is answered with
// "%2ACKN=" and the MAC address of the interface it came in on, sent to the
// same port at the sender's address; at start "%2LKUP=" and that address
// go to the controller named by --pjlink-notify; and the controller that
// connected last is told "%2POWR=", "%2INPT=" and "%2ERST=" whenever power,
// input or error status changes, whoever caused it.
//
// Nobody can make it send more than the state changes: a notification says
// only what differs from the last one sent, a change has to last
// kNotifySettle, and notifications go at most once every kNotifyEvery, so a
// flapping line sends a few, not a storm. Searches are answered once a
// kSearchEvery per address and kSearchAnswersEvery at most from all of them.

#include "journal.h"
#include "line_queue.h"
#include "timer.h"

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <QHostAddress>
#include <QObject>
#include <QUdpSocket>

namespace kavo::service {

inline constexpr std::chrono::seconds kSearchEvery{1};
inline constexpr int kSearchAnswersEvery = 64; // in one kSearchEvery, from all addresses
inline constexpr std::size_t kSearchAddresses = 1024;
inline constexpr std::chrono::seconds kNotifySettle{1};
inline constexpr std::chrono::seconds kNotifyEvery{5};

struct PjlinkUdpSettings {
    QHostAddress address; // where the TCP side listens
    quint16 port = 4352;  // the TCP side's, and the controllers'
    std::optional<QHostAddress> controller;
};

class PjlinkUdp final : public QObject {
    Q_OBJECT
  public:
    PjlinkUdp(LineQueue& queue, TimerFactory& timers, Journal& journal, QString serviceName,
              PjlinkUdpSettings settings);
    ~PjlinkUdp() override;

    // Empty on success, else why it cannot listen. Sends LKUP when a
    // controller is known.
    QString listen();
    void close();
    // Where notifications go from now on.
    void setController(const QHostAddress& address);
    void lineChanged(bool open);

  private:
    void readDatagrams();
    void search(const QHostAddress& from, const QHostAddress& to);
    void stateChanged();
    void notify();
    QByteArray statusOf(const QByteArray& command) const;
    // The MAC address of the interface that reaches `peer`, as "xx:xx:..".
    QByteArray macFor(const QHostAddress& peer, const QHostAddress& local = {}) const;
    void send(const QByteArray& line, const QHostAddress& to);

    LineQueue& m_queue;
    TimerFactory& m_timers;
    Journal& m_journal;
    QString m_serviceName;
    PjlinkUdpSettings m_settings;
    QUdpSocket m_socket;
    QByteArray m_substitute; // the MAC address when the interface has none
    std::unique_ptr<Timer> m_notifyTimer;
    std::map<QByteArray, QByteArray> m_sent; // by command: the last value notified
    std::optional<std::chrono::milliseconds> m_lastNotified;
    std::map<QString, std::chrono::milliseconds> m_answered; // by address: its last answer
    std::chrono::milliseconds m_windowStart{0};
    int m_windowAnswers = 0;
};

} // namespace kavo::service
