#include "local_serial_port.h"

#include "port_paths.h"

#include <QFileInfo>
#ifdef Q_OS_WIN
#include "local_pipe.h"
#else
#include <unistd.h>
#endif

namespace kavo {
namespace {

constexpr std::chrono::milliseconds kRetryFullQueue{50};

#ifdef Q_OS_WIN
const QString kMissing = QStringLiteral("no such pipe (the service is not running, or it "
                                        "listens on another pipe)");
// A pipe's access is set by the service; who may open it is the
// administrator's choice in the service's configuration.
QString permissionDetail(const QString&) {
    return QStringLiteral("the service's pipe is not open to your account; ask the "
                          "administrator for access");
}
#else
const QString kMissing = QStringLiteral("no such socket file (the service is not running, or it "
                                        "listens elsewhere)");

QString ownerAndGroup(const QFileInfo& info) {
    const QString owner = info.owner().isEmpty() ? QString::number(info.ownerId()) : info.owner();
    const QString group = info.group().isEmpty() ? QString::number(info.groupId()) : info.group();
    return QStringLiteral("user %1 and group %2").arg(owner, group);
}

// Who may connect, for a connection refused for want of permission: the
// folder on the way that is closed to this user, else the socket's owner and
// group. A service lets a group of users share the projector; joining that
// group is advised, never joining root's.
QString permissionDetail(const QString& path) {
    QStringList folders;
    for (QString folder = QFileInfo(path).absolutePath(); !folders.contains(folder);
         folder = QFileInfo(folder).absolutePath())
        folders.prepend(folder);
    for (const QString& folder : folders) {
        if (::access(QFile::encodeName(folder).constData(), X_OK) != 0)
            return QStringLiteral("the folder %1, of %2, is closed to you")
                .arg(folder, ownerAndGroup(QFileInfo(folder)));
    }
    const QFileInfo socket(path);
    const QString owners = QStringLiteral("the socket belongs to %1").arg(ownerAndGroup(socket));
    if (!socket.permission(QFileDevice::WriteGroup) || socket.groupId() == 0 ||
        socket.group().isEmpty())
        return owners + QStringLiteral("; ask its owner or the administrator for access");
    return owners + QStringLiteral(", whose members may connect: join the group (sudo usermod "
                                   "-aG %1 $USER), then log in again")
                        .arg(socket.group());
}
#endif

} // namespace

LocalSerialPort::LocalSerialPort(QString socketPath, QObject* parent)
    : StreamSerialPort(m_socket, parent), m_path(std::move(socketPath)) {
    connect(&m_socket, &QLocalSocket::readyRead, this, [this] { arrived(); });
    connect(&m_socket, &QLocalSocket::stateChanged, this, &LocalSerialPort::linkChanged);
    connect(&m_socket, &QLocalSocket::errorOccurred, this, &LocalSerialPort::linkChanged);
    m_retry.setSingleShot(true);
    m_retry.setInterval(kRetryFullQueue);
    connect(&m_retry, &QTimer::timeout, this, &LocalSerialPort::connectToFarEnd);
}

LocalSerialPort::~LocalSerialPort() {
    // Tearing the connection down is no lost line to report.
    disconnect(&m_socket, nullptr, this, nullptr);
    m_socket.abort();
}

QString LocalSerialPort::name() const {
#ifdef Q_OS_WIN
    return QStringLiteral("pipe:") + m_path;
#else
    return QStringLiteral("unix:") + m_path;
#endif
}

void LocalSerialPort::connectToFarEnd() {
#ifdef Q_OS_WIN
    // Opened here rather than by the socket: with only the rights the
    // service grants its clients, and checked before a byte is sent.
    m_refusal.clear();
    const PipeOpening opened = openPipe(m_path, name());
    switch (opened.outcome) {
    case PipeOpening::Open:
        m_socket.setSocketDescriptor(opened.handle);
        return;
    case PipeOpening::Busy:
        m_retry.start();
        return;
    case PipeOpening::Missing:
        m_refusal = QStringLiteral("%1: %2").arg(name(), kMissing);
        break;
    case PipeOpening::Denied:
        m_refusal =
            QStringLiteral("%1: permission denied (%2)").arg(name(), permissionDetail(m_path));
        break;
    case PipeOpening::Untrusted:
        m_refusal = opened.problem; // it names the pipe
        break;
    case PipeOpening::Failed:
        m_refusal = QStringLiteral("%1: %2").arg(name(), opened.problem);
        break;
    }
    // Who waits for the attempt hears of its end as of a socket's.
    linkChanged();
#else
    m_socket.connectToServer(m_path);
    // Connecting either succeeds or fails at once, unless the service's queue
    // is full: the socket would then try again without pause until it gives
    // up after 30 s. It is asked again now and then instead.
    if (m_socket.state() == QLocalSocket::ConnectingState) {
        m_retry.start();
        m_socket.abort();
    }
#endif
}

void LocalSerialPort::abortLink() {
    m_retry.stop();
    m_socket.abort();
}

QAbstractSocket::SocketState LocalSerialPort::linkState() const {
    if (m_retry.isActive())
        return QAbstractSocket::ConnectingState;
    // The local socket's states are the network socket's, by value.
    return QAbstractSocket::SocketState(m_socket.state());
}

QString LocalSerialPort::connectFailure() const {
    if (!m_refusal.isEmpty())
        return m_refusal + QLatin1Char('.');
    switch (m_socket.error()) {
    case QLocalSocket::ServerNotFoundError:
        return QStringLiteral("%1: %2.").arg(name(), kMissing);
    case QLocalSocket::SocketAccessError:
        return QStringLiteral("%1: permission denied (%2).").arg(name(), permissionDetail(m_path));
    default:
        break;
    }
    // What stands at the path says more than the error: a regular file refuses too.
    if (const QString problem = localSocketProblem(m_path); !problem.isEmpty())
        return QStringLiteral("%1: %2.").arg(name(), problem);
    if (m_socket.error() == QLocalSocket::ConnectionRefusedError)
        return QStringLiteral("%1: nobody listening there (connection refused: the socket file "
                              "was left by a service that has stopped).")
            .arg(name());
    return QStringLiteral("%1: %2.").arg(name(), m_socket.errorString());
}

} // namespace kavo
