#include "client_hub.h"

#include "port_paths.h"

#include <cerrno>
#include <cstring>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QTcpSocket>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kavo::service {
namespace {

constexpr int kProbeMs = 1000;

QString peerOf(QLocalSocket& socket) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &credentials,
                     &size) != 0)
        return QStringLiteral("unix:?");
    return QStringLiteral("unix:%1").arg(credentials.pid);
}

QString peerOf(QTcpSocket& socket) {
    return QStringLiteral("tcp:") + peerAddress(socket);
}

// Whether only its owner (this user or root) can put files into the folder.
QString folderProblem(const QString& folder) {
    struct stat info {};
    if (::stat(QFile::encodeName(folder).constData(), &info) != 0)
        return QStringLiteral("%1: %2").arg(escapeControls(folder),
                                            QString::fromLocal8Bit(std::strerror(errno)));
    if (!S_ISDIR(info.st_mode))
        return QStringLiteral("%1 is not a folder").arg(escapeControls(folder));
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 ||
        (info.st_uid != ::geteuid() && info.st_uid != 0))
        return QStringLiteral("other users can write to %1 (mode %2): one of them could put a "
                              "socket of their own in this one's place; use a folder that only "
                              "its owner can write to")
            .arg(escapeControls(folder))
            .arg(info.st_mode & 07777, 4, 8, QLatin1Char('0'));
    return {};
}

} // namespace

QString peerAddress(const QAbstractSocket& socket) {
    const QHostAddress address = socket.peerAddress();
    QString host = address.toString();
    if (address.protocol() == QAbstractSocket::IPv6Protocol)
        host = QLatin1Char('[') + host + QLatin1Char(']');
    return host + QLatin1Char(':') + QString::number(socket.peerPort());
}

ClientHub::ClientHub(LineQueue& queue, Journal& journal, QString name)
    : m_queue(queue), m_journal(journal), m_name(std::move(name)) {
    connect(&m_local, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_local.nextPendingConnection())
            accept(socket, peerOf(*socket));
    });
    connect(&m_tcp, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_tcp.nextPendingConnection()) {
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            accept(socket, peerOf(*socket));
        }
    });
}

ClientHub::~ClientHub() {
    close();
}

QString ClientHub::listenLocal(const QString& path) {
    const QString folder = QFileInfo(path).absolutePath();
    // The per-user default folder, $XDG_RUNTIME_DIR/kavo, is made here.
    if (!QFileInfo::exists(folder) && QFileInfo(folder).dir().exists())
        ::mkdir(QFile::encodeName(folder).constData(), 0700);
    if (const QString problem = folderProblem(folder); !problem.isEmpty())
        return QStringLiteral("cannot serve %1: %2").arg(escapeControls(path), problem);

    struct stat existing {};
    if (::lstat(QFile::encodeName(path).constData(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode))
            return QStringLiteral("cannot serve %1: it exists and is not a socket; it is left "
                                  "as it is")
                .arg(escapeControls(path));
        QLocalSocket probe;
        probe.connectToServer(path);
        if (probe.waitForConnected(kProbeMs)) {
            probe.abort();
            return QStringLiteral("cannot serve %1: another service answers on it (a second "
                                  "service for the same socket is not started)")
                .arg(escapeControls(path));
        }
        // Nobody answers: what a service that was killed leaves behind.
        if (!QFile::remove(path))
            return QStringLiteral("cannot serve %1: the stale socket cannot be removed")
                .arg(escapeControls(path));
        m_journal.write(m_name,
                        QStringLiteral("replaced the stale socket %1").arg(escapeControls(path)));
    }
    m_local.setMaxPendingConnections(kMaxClients);
    // Created as rw-rw----: the owner and the group's operators, nobody else.
    const mode_t mask = ::umask(0117);
    const bool listening = m_local.listen(path);
    ::umask(mask);
    if (!listening)
        return QStringLiteral("cannot serve %1: %2")
            .arg(escapeControls(path), m_local.errorString());
    ::chmod(QFile::encodeName(path).constData(), 0660);
    m_journal.write(m_name, QStringLiteral("serving on unix:%1").arg(escapeControls(path)));
    return {};
}

QString ClientHub::listenTcp(const ListenAddress& address) {
    if (!m_tcp.listen(address.address, address.port))
        return QStringLiteral("cannot listen on %1: %2").arg(address.text, m_tcp.errorString());
    const QString shown = address.text.section(QLatin1Char(':'), 0, -2) + QLatin1Char(':') +
                          QString::number(m_tcp.serverPort());
    m_journal.write(m_name, QStringLiteral("serving on tcp:%1").arg(shown));
    if (!address.address.isLoopback())
        m_journal.write(m_name, QStringLiteral("warning: %1 is not a loopback address; anyone "
                                               "who reaches it controls the projector")
                                    .arg(shown));
    return {};
}

void ClientHub::close() {
    m_local.close();
    m_tcp.close();
    while (!m_connections.empty())
        drop(m_connections.begin()->first, QStringLiteral("the service stops"));
}

void ClientHub::accept(QIODevice* socket, const QString& who) {
    if (m_connections.size() >= std::size_t(kMaxClients)) {
        m_journal.write(
            who, QStringLiteral("refused: %1 clients are connected already").arg(kMaxClients));
        socket->close();
        socket->deleteLater();
        return;
    }
    const ClientId id = m_nextId++;
    m_connections[id] = Connection{socket, who, {}, 0};
    if (auto* local = qobject_cast<QLocalSocket*>(socket)) {
        local->setReadBufferSize(kReadBuffer);
        connect(local, &QLocalSocket::disconnected, this,
                [this, id] { drop(id, QStringLiteral("gone")); });
    } else if (auto* tcp = qobject_cast<QAbstractSocket*>(socket)) {
        tcp->setReadBufferSize(kReadBuffer);
        connect(tcp, &QAbstractSocket::disconnected, this,
                [this, id] { drop(id, QStringLiteral("gone")); });
    }
    connect(socket, &QIODevice::readyRead, this, [this, id] { readFrom(id); });
    m_queue.addClient(id, who, [this, id](const Exchange* exchange) {
        if (exchange && !exchange->reply.isEmpty())
            reply(id, exchange->reply);
    });
    m_journal.write(who, QStringLiteral("connected"));
    if (socket->bytesAvailable() > 0)
        readFrom(id);
}

void ClientHub::readFrom(ClientId id) {
    const auto found = m_connections.find(id);
    if (found == m_connections.end())
        return;
    Connection& client = found->second;
    const QByteArray data = client.socket->readAll();
    for (const char byte : data) {
        if (byte == '\r') {
            if (client.overlong > 0) {
                m_journal.write(client.who,
                                QStringLiteral("dropped a command of %1 bytes: at most %2 make "
                                               "one")
                                    .arg(client.line.size() + client.overlong)
                                    .arg(kMaxCommandBytes));
                client.overlong = 0;
                client.line.clear();
            } else {
                // Nothing of the client is touched after the submit: the queue
                // may answer at once, and a client that cannot take the answer
                // is gone by then.
                const QString command = QString::fromLatin1(client.line);
                client.line.clear();
                m_queue.submit(id, command);
            }
            // The queue may have answered at once and the client be gone by now.
            if (!m_connections.contains(id))
                return;
        } else if (client.line.size() < kMaxCommandBytes) {
            client.line.append(byte);
        } else if (client.overlong++ == 0) {
            m_journal.write(client.who, QStringLiteral("sent more than %1 bytes without a CR; "
                                                       "they are dropped up to the next CR")
                                            .arg(kMaxCommandBytes));
        }
    }
}

void ClientHub::reply(ClientId id, const QString& bytes) {
    const auto found = m_connections.find(id);
    if (found == m_connections.end())
        return;
    QIODevice* socket = found->second.socket;
    socket->write(bytes.toLatin1());
    if (socket->bytesToWrite() > kMaxUnreadReplies)
        drop(id, QStringLiteral("disconnected: it leaves its replies unread"));
}

void ClientHub::drop(ClientId id, const QString& why) {
    const auto found = m_connections.find(id);
    if (found == m_connections.end())
        return;
    const Connection client = found->second;
    m_connections.erase(found);
    m_queue.removeClient(id);
    m_journal.write(client.who, why);
    client.socket->disconnect(this);
    if (auto* local = qobject_cast<QLocalSocket*>(client.socket))
        local->abort();
    else if (auto* tcp = qobject_cast<QAbstractSocket*>(client.socket))
        tcp->abort();
    client.socket->deleteLater();
}

} // namespace kavo::service
