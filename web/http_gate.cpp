#include "http_gate.h"

#include "api_types.h"
#include "journal.h"

#include <algorithm>
#include <QFile>
#include <QHostAddress>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <tuple>

namespace kavo::web {

namespace {

constexpr std::chrono::seconds kSweep{1};
// A refused or finished connection still not gone after this is dropped.
constexpr std::chrono::seconds kClosing{5};
const QByteArray kBlankLine = QByteArrayLiteral("\r\n\r\n");

QByteArray reasonPhrase(int status) {
    switch (status) {
    case 408:
        return QByteArrayLiteral("Request Timeout");
    case 413:
        return QByteArrayLiteral("Content Too Large");
    default:
        return QByteArrayLiteral("Request Header Fields Too Large");
    }
}

QString sizeText(qint64 bytes) {
    return bytes % 1024 == 0 ? QStringLiteral("%1 KiB").arg(bytes / 1024)
                             : QStringLiteral("%1 bytes").arg(bytes);
}

} // namespace

HttpGate::HttpGate(TimerFactory& timers, service::Journal& journal, GateLimits limits,
                   QObject* parent)
    : QTcpServer(parent), m_timers(timers), m_journal(journal), m_limits(limits),
      m_sweep(timers.createTimer()) {
    m_sweep->setInterval(kSweep);
    m_sweep->setTickHandler([this] { sweep(); });
}

HttpGate::~HttpGate() {
    // The sockets are our children and go after us: nothing of theirs may reach us then.
    for (auto& [socket, peer] : m_peers) {
        if (peer.socket)
            peer.socket->disconnect(this);
    }
}

QString HttpGate::useTls(const QString& certificateFile, const QString& keyFile) {
    QFile certificates(certificateFile);
    if (!certificates.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read %1: %2")
            .arg(certificateFile, certificates.errorString());
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certificates.readAll());
    if (chain.isEmpty() || chain.first().isNull())
        return QStringLiteral("%1 holds no PEM certificate").arg(certificateFile);

    QFile keyText(keyFile);
    if (!keyText.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read %1: %2").arg(keyFile, keyText.errorString());
    const QByteArray pem = keyText.readAll();
    QSslKey key;
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        key = QSslKey(pem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull())
            break;
    }
    if (key.isNull())
        return QStringLiteral("%1 holds no unencrypted PEM private key (RSA, EC or DSA)")
            .arg(keyFile);

    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(chain);
    configuration.setPrivateKey(key);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone); // browsers bring no certificate
    m_tlsConfiguration = configuration;
    m_tls = true;
    return {};
}

void HttpGate::incomingConnection(qintptr descriptor) {
    makeRoom();
    QTcpSocket* socket = m_tls ? new QSslSocket(this) : new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    // Qt's server reads a request inside a transaction on the socket and
    // keeps its bytes in the socket's buffer until the request is whole: a
    // buffer one byte past the limit is all a peer can make us hold, and the
    // byte past it tells that the request is too large.
    socket->setReadBufferSize(m_limits.maxRequestBytes + 1);
    // Answers and events go out at once, not with the next packet.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    Peer& peer = admit(socket);
    if (!m_tls) {
        handOver(socket);
        return;
    }
    auto* tls = static_cast<QSslSocket*>(socket);
    peer.handshaking = true;
    tls->setSslConfiguration(m_tlsConfiguration);
    connect(tls, &QSslSocket::encrypted, this, [this, tls] {
        if (Peer* found = find(tls)) {
            found->handshaking = false;
            found->since = m_timers.now();
            handOver(tls);
        }
    });
    connect(tls, &QAbstractSocket::errorOccurred, this, [this, tls] {
        Peer* found = find(tls);
        if (!found || !found->handshaking)
            return;
        if (tls->error() == QAbstractSocket::RemoteHostClosedError) {
            close(*found, true);
            return;
        }
        complain(*found,
                 QStringLiteral("failed the TLS handshake (%1); closed").arg(tls->errorString()),
                 u"TLS handshake failed");
        close(*found, true);
    });
    tls->startServerEncryption();
}

int HttpGate::connectionCount() const {
    return static_cast<int>(std::count_if(m_peers.begin(), m_peers.end(), [](const auto& entry) {
        return !entry.second.socket.isNull();
    }));
}

HttpGate::Peer& HttpGate::admit(QTcpSocket* socket) {
    Peer& peer = m_peers[socket];
    peer = Peer{};
    peer.socket = socket;
    peer.who = QStringLiteral("http:") + peerText(socket->peerAddress());
    peer.since = m_timers.now();
    connect(socket, &QObject::destroyed, this, [this, socket] { forget(socket); });
    // Ours, whoever else deletes it: a socket closed by anyone is deleted once.
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    // Enabling a running timer starts its countdown again: connections
    // arriving faster than it ticks would keep every deadline away.
    if (!m_sweep->isEnabled())
        m_sweep->setEnabled(true);
    return peer;
}

void HttpGate::handOver(QTcpSocket* socket) {
    // Connected before the HTTP server connects its own, so this runs first:
    // what is available then is what came since the server last read.
    connect(socket, &QIODevice::readyRead, this, [this, socket] { bytesArrived(socket); });
    addPendingConnection(socket);
}

void HttpGate::bytesArrived(QTcpSocket* socket) {
    Peer* peer = find(socket);
    const qint64 fresh = peer ? socket->bytesAvailable() : 0;
    if (fresh <= 0 || peer->closing)
        return;
    const Time now = m_timers.now();
    peer->since = now;
    if (!peer->inRequest) {
        peer->inRequest = true;
        peer->requestStarted = now;
        peer->requestBytes = 0;
        peer->headBytes = -1;
        peer->tail.clear();
    }
    if (peer->headBytes < 0) {
        const QByteArray seen = peer->tail + socket->peek(fresh);
        const qsizetype end = seen.indexOf(kBlankLine);
        if (end >= 0)
            peer->headBytes = peer->requestBytes + end + kBlankLine.size() - peer->tail.size();
        else
            peer->tail = seen.right(kBlankLine.size() - 1);
    }
    peer->requestBytes += fresh;
    if (peer->requestBytes <= m_limits.maxRequestBytes) {
        QMetaObject::invokeMethod(
            this, [this, socket = QPointer<QTcpSocket>(socket)] { checkClosed(socket); },
            Qt::QueuedConnection);
        return;
    }
    const QString limit = sizeText(m_limits.maxRequestBytes);
    if (peer->headBytes >= 0 && peer->headBytes <= m_limits.maxRequestBytes)
        refuse(*peer, 413, QStringLiteral("sent a request over %1").arg(limit),
               u"request too large");
    else
        refuse(*peer, 431, QStringLiteral("sent a request head over %1").arg(limit),
               u"head too large");
}

void HttpGate::checkClosed(QTcpSocket* socket) {
    Peer* peer = find(socket);
    // Qt's server closes a connection whose request it cannot parse, without a word.
    if (!peer || !peer->inRequest || peer->closing ||
        socket->state() != QAbstractSocket::UnconnectedState ||
        socket->error() == QAbstractSocket::RemoteHostClosedError)
        return;
    peer->closing = true;
    complain(*peer, QStringLiteral("sent a request that cannot be parsed; closed"),
             u"malformed request");
}

void HttpGate::requestHandled(QTcpSocket* socket) {
    if (Peer* peer = find(socket)) {
        peer->inRequest = false;
        ++peer->answering;
        peer->since = m_timers.now();
    }
}

void HttpGate::answered(QTcpSocket* socket) {
    if (Peer* peer = find(socket)) {
        peer->answering = std::max(0, peer->answering - 1);
        peer->since = m_timers.now();
    }
}

void HttpGate::upgraded(QTcpSocket* socket) {
    if (!find(socket))
        return;
    socket->disconnect(this);
    disconnect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    // The WebSocket reads frames of its own size: its limits bound it from here.
    socket->setReadBufferSize(0);
    m_peers.erase(socket);
}

void HttpGate::sweep() {
    purge();
    const Time now = m_timers.now();
    std::vector<QTcpSocket*> sockets;
    for (const auto& [socket, peer] : m_peers)
        sockets.push_back(socket);
    for (QTcpSocket* socket : sockets) {
        Peer* peer = find(socket);
        if (!peer)
            continue;
        const Time age = now - (peer->inRequest ? peer->requestStarted : peer->since);
        if (peer->closing) {
            if (age >= kClosing)
                close(*peer, true);
        } else if (peer->handshaking) {
            if (age >= m_limits.handshakeTime) {
                complain(*peer,
                         QStringLiteral("did not finish the TLS handshake within %1 s; closed")
                             .arg(m_limits.handshakeTime.count()),
                         u"TLS handshake slow");
                close(*peer, true);
            }
        } else if (peer->inRequest) {
            if (age >= m_limits.requestTime)
                refuse(*peer, 408,
                       QStringLiteral("sent no whole request within %1 s")
                           .arg(m_limits.requestTime.count()),
                       u"request too slow");
        } else if (peer->answering == 0 && age >= m_limits.idleTime) {
            close(*peer, false);
        }
    }
    if (m_peers.empty())
        m_sweep->setEnabled(false);
}

void HttpGate::makeRoom() {
    purge();
    while (connectionCount() >= m_limits.maxConnections && !m_peers.empty()) {
        // The one idle longest, one between requests before one in the middle of one.
        const auto rank = [](const Peer& peer) {
            return std::tuple{!peer.closing,
                              peer.inRequest || peer.handshaking || peer.answering > 0, peer.since};
        };
        auto victim = std::min_element(m_peers.begin(), m_peers.end(), [&](auto& a, auto& b) {
            return rank(a.second) < rank(b.second);
        });
        Peer& peer = victim->second;
        if (!peer.closing) {
            complain(peer,
                     QStringLiteral("closed as the one idle longest of %1 connections, to make "
                                    "room for a new one")
                         .arg(m_limits.maxConnections),
                     u"crowded out");
        }
        close(peer, true);
    }
}

void HttpGate::refuse(Peer& peer, int status, const QString& what, QStringView kind) {
    QTcpSocket* socket = peer.socket;
    complain(peer, QStringLiteral("%1; answered %2 and closed").arg(what).arg(status), kind);
    // Qt's server must not read on: its slot may still be due in this very signal.
    disconnect(socket, &QIODevice::readyRead, nullptr, nullptr);
    const QByteArray reason = reasonPhrase(status);
    const QByteArray body = errorResponse(status, QString::fromLatin1(reason)).body;
    socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reason +
                  "\r\nContent-Type: application/json\r\nContent-Length: " +
                  QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    close(peer, false);
}

void HttpGate::close(Peer& peer, bool abort) {
    QTcpSocket* socket = peer.socket;
    if (abort || peer.closing) {
        m_peers.erase(socket);
        socket->abort();
        socket->deleteLater();
        return;
    }
    peer.closing = true;
    peer.inRequest = false;
    peer.since = m_timers.now();
    // Its own deleteLater may have gone with Qt's server's connections.
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater,
            Qt::UniqueConnection);
    socket->disconnectFromHost();
}

void HttpGate::complain(const Peer& peer, const QString& what, QStringView kind) {
    m_journal.complain(peer.who, what, kind, peer.who);
}

HttpGate::Peer* HttpGate::find(QTcpSocket* socket) {
    const auto found = m_peers.find(socket);
    return found == m_peers.end() || !found->second.socket ? nullptr : &found->second;
}

void HttpGate::forget(QTcpSocket* socket) {
    m_peers.erase(socket);
}

void HttpGate::purge() {
    // Sockets deleted after Qt's server cut every connection of theirs, ours too.
    std::erase_if(m_peers, [](const auto& entry) { return !entry.second.socket; });
}

} // namespace kavo::web
