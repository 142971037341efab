#include "pjlink_udp.h"

#include "pjlink_requests.h"
#include "port_paths.h"

#include <array>
#include <QCryptographicHash>
#include <QNetworkDatagram>
#include <QNetworkInterface>

namespace kavo::service {
namespace {

constexpr qint64 kLongestDatagram = 256;
const QByteArray kSearch = "%2SRCH\r";
// What a notification tells, in this order.
const std::array<QByteArray, 3> kNotified{"POWR", "INPT", "ERST"};
// The error status while the line is down: "other" in error, as the
// projector cannot be reached at all.
const QByteArray kLineDownErrors = "000002";

bool usable(const QString& mac) {
    return mac.size() == 17 && mac != QLatin1String("00:00:00:00:00:00");
}

// The address a datagram can be sent back to, without IPv4's mapping.
QHostAddress plain(const QHostAddress& address) {
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    return mapped ? QHostAddress(v4) : address;
}

} // namespace

PjlinkUdp::PjlinkUdp(LineQueue& queue, TimerFactory& timers, Journal& journal, QString serviceName,
                     PjlinkUdpSettings settings)
    : m_queue(queue), m_timers(timers), m_journal(journal), m_serviceName(std::move(serviceName)),
      m_settings(std::move(settings)), m_notifyTimer(timers.createTimer()) {
    // Where no interface has a MAC address (a container's loopback only), a
    // stable one of the service's own, marked locally administered.
    for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
        if (m_substitute.isEmpty() && !(interface.flags() & QNetworkInterface::IsLoopBack) &&
            usable(interface.hardwareAddress()))
            m_substitute = interface.hardwareAddress().toLower().toLatin1();
    }
    if (m_substitute.isEmpty()) {
        QByteArray bytes =
            QCryptographicHash::hash(m_serviceName.toUtf8(), QCryptographicHash::Sha256).left(6);
        bytes[0] = char((quint8(bytes[0]) & 0xfc) | 0x02);
        m_substitute = bytes.toHex(':');
    }
    m_notifyTimer->setTickHandler([this] {
        m_notifyTimer->setEnabled(false);
        notify();
    });
    connect(&m_socket, &QUdpSocket::readyRead, this, &PjlinkUdp::readDatagrams);
    m_queue.addObserver([this](const QString&, const Exchange&, auto) { stateChanged(); });
}

PjlinkUdp::~PjlinkUdp() {
    close();
}

QString PjlinkUdp::listen() {
    if (!m_socket.bind(m_settings.address, m_settings.port))
        return QStringLiteral("cannot listen for PJLink searches on udp port %1: %2")
            .arg(m_settings.port)
            .arg(m_socket.errorString());
    m_journal.write(m_serviceName, QStringLiteral("PJLink Class 2: searches answered on udp:%1:%2, "
                                                  "notifications to %3")
                                       .arg(m_settings.address.toString())
                                       .arg(m_settings.port)
                                       .arg(m_settings.controller
                                                ? m_settings.controller->toString() +
                                                      QStringLiteral(" until a controller connects")
                                                : QStringLiteral("the controller that connects")));
    if (m_settings.controller)
        send("%2LKUP=" + macFor(*m_settings.controller) + '\r', *m_settings.controller);
    // The line may be down from the start.
    stateChanged();
    return {};
}

void PjlinkUdp::close() {
    m_socket.close();
    m_notifyTimer->setEnabled(false);
}

void PjlinkUdp::setController(const QHostAddress& address) {
    const QHostAddress controller = plain(address);
    if (m_settings.controller == controller)
        return;
    m_settings.controller = controller;
    m_journal.write(m_serviceName,
                    QStringLiteral("PJLink notifications go to %1").arg(controller.toString()));
    // It learns the state as it is now.
    m_sent.clear();
    stateChanged();
}

void PjlinkUdp::lineChanged(bool) {
    stateChanged();
}

void PjlinkUdp::readDatagrams() {
    while (m_socket.hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_socket.receiveDatagram(kLongestDatagram);
        const QHostAddress from = plain(datagram.senderAddress());
        if (datagram.data() == kSearch || datagram.data() == kSearch + '\n') {
            search(from, plain(datagram.destinationAddress()));
            continue;
        }
        // Answers and notifications of other projectors on the port ("%2ACKN=",
        // "%2POWR=" ...) are no concern of this one; anything else is said,
        // summarised.
        if (!datagram.data().startsWith("%2") || datagram.data().indexOf('=') != 6)
            m_journal.complain(QStringLiteral("pjlink:") + from.toString(),
                               QStringLiteral("ignored: a datagram that is no PJLink search"),
                               u"not a search", QStringLiteral("pjlink-udp:") + from.toString());
    }
}

void PjlinkUdp::search(const QHostAddress& from, const QHostAddress& to) {
    const std::chrono::milliseconds now = m_timers.now();
    const QString address = from.toString();
    const QString who = QStringLiteral("pjlink:") + address;
    const QString source = QStringLiteral("pjlink-udp:") + address;
    if (now - m_windowStart >= kSearchEvery) {
        m_windowStart = now;
        m_windowAnswers = 0;
    }
    const auto last = m_answered.find(address);
    if (last != m_answered.end() && now - last->second < kSearchEvery) {
        m_journal.complain(who,
                           QStringLiteral("search not answered: one answer a %1 s per address")
                               .arg(kSearchEvery.count()),
                           u"search too often", source);
        return;
    }
    if (m_windowAnswers >= kSearchAnswersEvery) {
        m_journal.complain(who,
                           QStringLiteral("search not answered: %1 answers a %2 s already")
                               .arg(kSearchAnswersEvery)
                               .arg(kSearchEvery.count()),
                           u"searches too many", QStringLiteral("pjlink-udp"));
        return;
    }
    // Forget the addresses answered long enough ago; keep the table bounded.
    std::erase_if(m_answered,
                  [&](const auto& entry) { return now - entry.second >= kSearchEvery; });
    if (m_answered.size() >= kSearchAddresses)
        return;
    m_answered[address] = now;
    ++m_windowAnswers;
    const QByteArray answer = "%2ACKN=" + macFor(from, to) + '\r';
    m_journal.complain(who,
                       QStringLiteral("search answered: %1")
                           .arg(escapeControls(QString::fromLatin1(answer.chopped(1)))),
                       u"search answered", source);
    m_socket.writeDatagram(answer, from, m_settings.port);
}

QByteArray PjlinkUdp::statusOf(const QByteArray& command) const {
    if (!m_queue.lineOpen())
        return command == "ERST" ? kLineDownErrors : QByteArray();
    const PjlinkFacts facts{m_queue.state(),
                            true,
                            [this](StateField field) { return m_queue.freshFor(field); },
                            QDateTime::currentDateTimeUtc(),
                            {},
                            {},
                            {},
                            {},
                            {}};
    return pjlinkStatus(command, facts).value_or(QByteArray());
}

void PjlinkUdp::stateChanged() {
    if (!m_settings.controller || !m_socket.isValid() || m_notifyTimer->isEnabled())
        return;
    const bool changed = std::ranges::any_of(kNotified, [&](const QByteArray& command) {
        const QByteArray now = statusOf(command);
        return !now.isEmpty() && now != m_sent[command];
    });
    if (!changed)
        return;
    std::chrono::milliseconds wait = kNotifySettle;
    if (m_lastNotified)
        wait = std::max(wait, *m_lastNotified + kNotifyEvery - m_timers.now());
    m_notifyTimer->setInterval(wait);
    m_notifyTimer->setEnabled(true);
}

void PjlinkUdp::notify() {
    if (!m_settings.controller)
        return;
    bool sent = false;
    for (const QByteArray& command : kNotified) {
        const QByteArray now = statusOf(command);
        if (now.isEmpty() || now == m_sent[command])
            continue;
        m_sent[command] = now;
        send("%2" + command + '=' + now + '\r', *m_settings.controller);
        sent = true;
    }
    if (sent)
        m_lastNotified = m_timers.now();
}

void PjlinkUdp::send(const QByteArray& line, const QHostAddress& to) {
    m_journal.write(m_serviceName,
                    QStringLiteral("PJLink notification to %1: %2")
                        .arg(to.toString(), escapeControls(QString::fromLatin1(line.chopped(1)))));
    m_socket.writeDatagram(line, to, m_settings.port);
}

QByteArray PjlinkUdp::macFor(const QHostAddress& peer, const QHostAddress& local) const {
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    const QNetworkInterface* found = nullptr;
    for (const QNetworkInterface& interface : interfaces) {
        for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
            // The address it came to names the interface; else the one whose
            // network holds the peer.
            if (!local.isNull() && entry.ip() == local)
                found = &interface;
            else if (!found && entry.prefixLength() >= 0 &&
                     peer.isInSubnet(entry.ip(), entry.prefixLength()))
                found = &interface;
        }
    }
    if (found && usable(found->hardwareAddress()))
        return found->hardwareAddress().toLower().toLatin1();
    return m_substitute;
}

} // namespace kavo::service
