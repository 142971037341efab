#include "tcp_serial_port.h"

#include <QElapsedTimer>

namespace kavo {
namespace {

// A server that serves one client at a time refuses a new connection until it
// has seen the last one end: a refusal that soon after this process closed a
// connection to the same server means "busy", not "nothing listens".
constexpr std::chrono::milliseconds kBusyAfterClose{2000};

struct LastClosed {
    QString name;
    QElapsedTimer since;
};

LastClosed& lastClosed() {
    static LastClosed closed;
    return closed;
}

bool g_lookupAbandoned = false;

} // namespace

bool hostLookupAbandoned() {
    return g_lookupAbandoned;
}

void noteHostLookupAbandoned() {
    g_lookupAbandoned = true;
}

TcpSerialPort::TcpSerialPort(QString host, quint16 tcpPort, QObject* parent)
    : StreamSerialPort(m_socket, parent), m_host(std::move(host)), m_tcpPort(tcpPort) {
    connect(&m_socket, &QTcpSocket::readyRead, this, [this] { arrived(); });
    connect(&m_socket, &QTcpSocket::stateChanged, this, &TcpSerialPort::linkChanged);
    connect(&m_socket, &QTcpSocket::errorOccurred, this, &TcpSerialPort::linkChanged);
}

TcpSerialPort::~TcpSerialPort() {
    // Tearing the connection down is no lost line to report.
    disconnect(&m_socket, nullptr, this, nullptr);
    m_socket.abort();
}

QString TcpSerialPort::name() const {
    const QString host =
        m_host.contains(QLatin1Char(':')) ? QLatin1Char('[') + m_host + QLatin1Char(']') : m_host;
    return QStringLiteral("socket://%1:%2").arg(host).arg(m_tcpPort);
}

void TcpSerialPort::connectToFarEnd() {
    m_socket.connectToHost(m_host, m_tcpPort);
}

void TcpSerialPort::connectTimedOut() {
    if (m_socket.state() == QAbstractSocket::HostLookupState)
        noteHostLookupAbandoned();
}

void TcpSerialPort::connectionMade() {
    // Commands are a few bytes each; a held arrow sends one every 100 ms.
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
}

QString TcpSerialPort::connectFailure() const {
    switch (m_socket.error()) {
    case QAbstractSocket::ConnectionRefusedError:
        if (const LastClosed& closed = lastClosed();
            closed.name == name() && closed.since.isValid() &&
            !closed.since.hasExpired(kBusyAfterClose.count())) {
            return QStringLiteral("%1: busy (connection refused right after the last "
                                  "connection to it closed: it serves one client at a time "
                                  "and has not yet seen that one end).")
                .arg(name());
        }
        return QStringLiteral("%1: connection refused (the server is not listening there, or "
                              "another program is connected to it).")
            .arg(name());
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("%1: host not found.").arg(name());
    default:
        return QStringLiteral("%1: %2.").arg(name(), m_socket.errorString());
    }
}

void TcpSerialPort::closeLink() {
    m_socket.disconnectFromHost();
    lastClosed().name = name();
    lastClosed().since.start();
}

} // namespace kavo
