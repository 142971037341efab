#include "tcp_serial_port.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

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
    : QObject(parent), m_host(std::move(host)), m_tcpPort(tcpPort) {
    connect(&m_socket, &QTcpSocket::readyRead, this, [this] { raise(CommEvent::Receive); });
    connect(&m_socket, &QTcpSocket::stateChanged, this, &TcpSerialPort::checkLine);
    connect(&m_socket, &QTcpSocket::errorOccurred, this, &TcpSerialPort::checkLine);
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

OpenResult TcpSerialPort::open() {
    if (m_connecting)
        return {false, QStringLiteral("%1: still connecting.").arg(name())};
    if (m_open)
        return {false, QStringLiteral("The port is already open.")};
    // What is left of an earlier connection (still closing, or dropped) goes now.
    m_socket.abort();
    m_timedOut = false;
    m_connecting = true;
    {
        QEventLoop wait;
        QTimer deadline;
        deadline.setSingleShot(true);
        connect(&deadline, &QTimer::timeout, &wait, [this, &wait] {
            m_timedOut = true;
            if (m_socket.state() == QAbstractSocket::HostLookupState)
                noteHostLookupAbandoned();
            wait.quit();
        });
        connect(&m_socket, &QTcpSocket::stateChanged, &wait,
                [&wait](QAbstractSocket::SocketState state) {
                    if (state == QAbstractSocket::ConnectedState ||
                        state == QAbstractSocket::UnconnectedState)
                        wait.quit();
                });
        m_socket.connectToHost(m_host, m_tcpPort);
        const QAbstractSocket::SocketState state = m_socket.state();
        if (state == QAbstractSocket::HostLookupState ||
            state == QAbstractSocket::ConnectingState) {
            deadline.start(m_connectTimeout);
            wait.exec(QEventLoop::ExcludeUserInputEvents);
        }
    }
    m_connecting = false;
    if (m_socket.state() != QAbstractSocket::ConnectedState) {
        const QString reason = connectFailure();
        m_socket.abort();
        return {false, reason};
    }
    // Commands are a few bytes each; a held arrow sends one every 100 ms.
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    m_open = true;
    return {true, {}};
}

QString TcpSerialPort::connectFailure() const {
    if (m_timedOut) {
        return QStringLiteral("%1: timed out after %2 ms without a connection.")
            .arg(name())
            .arg(m_connectTimeout.count());
    }
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
    case QAbstractSocket::UnknownSocketError:
        return QStringLiteral("%1: the connection was given up before it was made.").arg(name());
    default:
        return QStringLiteral("%1: %2.").arg(name(), m_socket.errorString());
    }
}

void TcpSerialPort::close() {
    if (m_connecting) {
        m_socket.abort(); // ends the wait in open()
        return;
    }
    if (!m_open)
        return;
    m_open = false;
    // Whatever was written still goes out; the socket finishes closing on its own.
    m_socket.disconnectFromHost();
    lastClosed().name = name();
    lastClosed().since.start();
}

void TcpSerialPort::write(const QString& text) {
    if (!m_open)
        return;
    m_socket.write(text.toLatin1());
    // Hand the bytes to the network now rather than on the next loop turn.
    m_socket.flush();
}

QString TcpSerialPort::readAll() {
    return QString::fromLatin1(m_socket.readAll());
}

void TcpSerialPort::checkLine() {
    // Errors that leave the connection up change nothing. The socket finishes
    // its own teardown; the next open clears what is left.
    if (!m_open || m_socket.state() == QAbstractSocket::ConnectedState)
        return;
    m_open = false;
    raise(CommEvent::LineLost);
}

} // namespace kavo
