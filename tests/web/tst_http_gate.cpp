// The gate in front of a tiny HTTP server, clients on loopback, the deadlines
// on the fake clock. The TLS certificate and key beside this file were made
// once for these tests only:
//   openssl req -x509 -newkey rsa:2048 -nodes -keyout gate_key.pem -out gate_cert.pem
//     -days 36500 -subj "/CN=localhost" -addext "subjectAltName=DNS:localhost,IP:127.0.0.1"

#include "fakes.h"
#include "http_gate.h"
#include "journal.h"

#include <cstdio>
#include <QAbstractHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTest>
#include <QWebSocket>

using namespace kavo;
using namespace kavo::web;
using namespace std::chrono_literals;

namespace {

const QString kCertificate = QStringLiteral(KAVO_WEB_TEST_DIR "/gate_cert.pem");
const QString kKey = QStringLiteral(KAVO_WEB_TEST_DIR "/gate_key.pem");

// Answers every whole request 200 and tells the gate, as the real one does.
class TinyServer final : public QAbstractHttpServer {
  public:
    HttpGate* gate = nullptr;
    int handled = 0;

  protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override {
        ++handled;
        if (request.value("Upgrade").compare("websocket", Qt::CaseInsensitive) == 0) {
            gate->upgraded(socket);
            return true;
        }
        makeResponder(request, socket).write(QByteArray("ok"), QByteArray("text/plain"));
        gate->requestHandled(socket);
        return true;
    }
    void missingHandler(const QHttpServerRequest&, QTcpSocket*) override {}
};

class Rig {
  public:
    explicit Rig(GateLimits limits = {}, bool tls = false) {
        m_output = open_memstream(&m_buffer, &m_size);
        journal = std::make_unique<service::Journal>(m_output, [this] {
            return QDateTime::fromMSecsSinceEpoch(clock.now().count(), Qt::UTC);
        });
        server = std::make_unique<TinyServer>();
        gate = new HttpGate(clock, *journal, limits);
        if (tls)
            tlsError = gate->useTls(kCertificate, kKey);
        gate->listen(QHostAddress::LocalHost);
        server->bind(gate);
        server->gate = gate;
    }
    ~Rig() {
        server.reset();
        journal.reset();
        std::fclose(m_output);
        std::free(m_buffer);
    }
    QString journalText() {
        std::fflush(m_output);
        return QString::fromUtf8(m_buffer, static_cast<qsizetype>(m_size));
    }
    void advance(std::chrono::milliseconds by) {
        clock.advance(by);
        QCoreApplication::processEvents();
    }

    test::FakeClock clock;
    std::unique_ptr<service::Journal> journal;
    std::unique_ptr<TinyServer> server;
    HttpGate* gate = nullptr; // the server's child
    QString tlsError;

  private:
    std::FILE* m_output = nullptr;
    char* m_buffer = nullptr;
    std::size_t m_size = 0;
};

// A client that keeps what it is sent, read as soon as it comes.
struct Client {
    explicit Client(QTcpSocket* made = new QTcpSocket) : socket(made) {
        QObject::connect(socket.get(), &QIODevice::readyRead, socket.get(),
                         [this] { received += socket->readAll(); });
    }
    int answers(int status) const {
        return static_cast<int>(
            received.count(QByteArray("HTTP/1.1 ") + QByteArray::number(status)));
    }
    std::unique_ptr<QTcpSocket> socket;
    QByteArray received;
};

const QByteArray kGet = QByteArrayLiteral("GET / HTTP/1.1\r\nHost: a\r\n\r\n");

} // namespace

class TestHttpGate : public QObject {
    Q_OBJECT
  private slots:
    void limits_data();
    void limits();
    void crowdKeepsNoRequestOut();
    void trickleKeepsDeadlines();
    void webSocketLeaves();
    void tls();
};

void TestHttpGate::limits_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<qint64>("filler"); // bytes of 'a' sent after it
    QTest::addColumn<int>("times");     // sent that often, each after the answer to the last
    QTest::addColumn<int>("wait");      // seconds the clock goes on afterwards
    QTest::addColumn<int>("status");    // 0: none
    QTest::addColumn<bool>("closes");
    QTest::addColumn<QString>("logged");

    QTest::newRow("head of 1 MB") << QByteArray("GET / HTTP/1.1\r\nX-Filler: ") << qint64(1 << 20)
                                  << 1 << 0 << 431 << true
                                  << "sent a request head over 64 KiB; answered 431 and closed";
    QTest::newRow("body of 10 MB")
        << QByteArray("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 10485760\r\n\r\n")
        << qint64(10 << 20) << 1 << 0 << 413 << true
        << "sent a request over 64 KiB; answered 413 and closed";
    QTest::newRow("a byte every 10 s")
        << QByteArray("GET / HT") << qint64(0) << 1 << 10 << 408 << true
        << "sent a no whole request within 10 s; answered 408";
    QTest::newRow("TLS to the plain port")
        << QByteArray("\x16\x03\x01\x02\xa5\x01\x02\x03\r\n\r\n") << qint64(0) << 1 << 0 << 0
        << true << "sent a request that cannot be parsed; closed";
    QTest::newRow("idle") << QByteArray() << qint64(0) << 1 << 60 << 0 << true << QString();
    QTest::newRow("kept alive") << kGet << qint64(0) << 2 << 0 << 200 << false << QString();
}

void TestHttpGate::limits() {
    QFETCH(QByteArray, request);
    QFETCH(qint64, filler);
    QFETCH(int, times);
    QFETCH(int, wait);
    QFETCH(int, status);
    QFETCH(bool, closes);
    QFETCH(QString, logged);

    Rig rig;
    Client client;
    client.socket->connectToHost(QHostAddress::LocalHost, rig.gate->serverPort());
    QTRY_COMPARE(rig.gate->connectionCount(), 1);
    // Connected after the gate and the server: the clock goes on once they have read.
    auto* served = rig.gate->findChild<QTcpSocket*>();
    // Qt's server keeps a request in the socket's buffer: held to the limit and the byte past it.
    QCOMPARE(served->readBufferSize(), GateLimits{}.maxRequestBytes + 1);
    int reads = 0;
    connect(served, &QIODevice::readyRead, this, [&] { ++reads; });
    for (int i = 1; i <= times && !request.isEmpty(); ++i) {
        client.socket->write(request + QByteArray(filler, 'a'));
        if (wait > 0)
            QTRY_VERIFY(reads >= i);
        if (status == 200)
            QTRY_COMPARE(client.answers(200), i);
    }
    if (wait > 0) {
        rig.advance(std::chrono::seconds(wait - 1));
        QCOMPARE(client.socket->state(), QAbstractSocket::ConnectedState);
        QCOMPARE(client.received, QByteArray());
        rig.advance(1s);
    }
    if (status != 0 && status != 200)
        QTRY_COMPARE(client.answers(status), 1);
    if (closes) {
        QTRY_COMPARE(client.socket->state(), QAbstractSocket::UnconnectedState);
        QTRY_COMPARE(rig.gate->connectionCount(), 0);
    }
    QCOMPARE(client.socket->state() == QAbstractSocket::UnconnectedState, closes);
    QCOMPARE(client.received.isEmpty(), status == 0);
    QCOMPARE(rig.server->handled, status == 200 ? times : 0);
    if (status != 0 && status != 200)
        QVERIFY(client.received.contains("Connection: close\r\n\r\n{\"error\":"));
    QCOMPARE(rig.journalText().contains(logged), true);
    QCOMPARE(rig.journalText().isEmpty(), logged.isEmpty());
}

void TestHttpGate::crowdKeepsNoRequestOut() {
    Rig rig;
    constexpr int kCrowd = 300;
    std::vector<std::unique_ptr<Client>> crowd;
    const auto closed = [&] {
        return std::count_if(crowd.begin(), crowd.end(), [](const auto& client) {
            return client->socket->state() == QAbstractSocket::UnconnectedState;
        });
    };
    // In steps the listen backlog takes: the kernel delays what does not fit.
    constexpr int kStep = 25;
    while (crowd.size() < kCrowd) {
        for (int i = 0; i < kStep; ++i) {
            crowd.push_back(std::make_unique<Client>());
            crowd.back()->socket->connectToHost(QHostAddress::LocalHost, rig.gate->serverPort());
        }
        QTRY_COMPARE(rig.gate->connectionCount() + closed(), qsizetype(crowd.size()));
    }
    QCOMPARE(closed(), kCrowd - GateLimits{}.maxConnections);
    QCOMPARE(rig.gate->connectionCount(), GateLimits{}.maxConnections);

    Client normal;
    normal.socket->connectToHost(QHostAddress::LocalHost, rig.gate->serverPort());
    normal.socket->write(kGet);
    QTRY_COMPARE(normal.answers(200), 1);
    QVERIFY(rig.journalText().contains("closed as the one idle longest of 256 connections"));
}

void TestHttpGate::trickleKeepsDeadlines() {
    Rig rig;
    int accepted = 0;
    connect(rig.gate, &QTcpServer::pendingConnectionAvailable, this, [&] { ++accepted; });
    std::vector<std::unique_ptr<Client>> trickle;
    // A new connection every half second: the first still goes when its idle time is over.
    while (rig.clock.now() < GateLimits{}.idleTime) {
        trickle.push_back(std::make_unique<Client>());
        trickle.back()->socket->connectToHost(QHostAddress::LocalHost, rig.gate->serverPort());
        QTRY_COMPARE(accepted, qsizetype(trickle.size()));
        rig.advance(500ms);
    }
    QTRY_COMPARE(trickle.front()->socket->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(trickle.back()->socket->state(), QAbstractSocket::ConnectedState);
}

void TestHttpGate::webSocketLeaves() {
    Rig rig;
    std::unique_ptr<QWebSocket> served;
    connect(rig.server.get(), &QAbstractHttpServer::newWebSocketConnection, this,
            [&] { served = rig.server->nextPendingWebSocketConnection(); });
    QWebSocket client;
    client.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/").arg(rig.gate->serverPort())));
    QTRY_VERIFY(served);
    QCOMPARE(rig.gate->connectionCount(), 0);
    rig.advance(GateLimits{}.idleTime + GateLimits{}.requestTime);
    QSignalSpy heard(served.get(), &QWebSocket::textMessageReceived);
    client.sendTextMessage(QString(GateLimits{}.maxRequestBytes, QLatin1Char('a')));
    QTRY_COMPARE(heard.size(), 1);
    QCOMPARE(client.state(), QAbstractSocket::ConnectedState);
}

void TestHttpGate::tls() {
    Rig rig({}, true);
    QCOMPARE(rig.tlsError, QString());
    QVERIFY(rig.gate->tls());
    QVERIFY(
        rig.gate->useTls(QStringLiteral("/nowhere/cert.pem"), kKey).contains("/nowhere/cert.pem"));
    QVERIFY(
        rig.gate->useTls(kCertificate, kCertificate).contains("no unencrypted PEM private key"));

    auto* tls = new QSslSocket;
    Client secure(tls);
    const QList<QSslCertificate> certificate = QSslCertificate::fromPath(kCertificate);
    tls->ignoreSslErrors({QSslError(QSslError::SelfSignedCertificate, certificate.first())});
    tls->connectToHostEncrypted(QStringLiteral("127.0.0.1"), rig.gate->serverPort());
    tls->write(kGet);
    QTRY_COMPARE(secure.answers(200), 1);

    Client silent;
    silent.socket->connectToHost(QHostAddress::LocalHost, rig.gate->serverPort());
    QTRY_COMPARE(rig.gate->connectionCount(), 2);
    rig.advance(10s);
    QTRY_COMPARE(silent.socket->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(tls->state(), QAbstractSocket::ConnectedState);
    QVERIFY(rig.journalText().contains("did not finish the TLS handshake within 10 s; closed"));
}

QTEST_GUILESS_MAIN(TestHttpGate)
#include "tst_http_gate.moc"
