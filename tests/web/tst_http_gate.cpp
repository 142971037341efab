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
    Rig() {
        m_output = open_memstream(&m_buffer, &m_size);
        journal = std::make_unique<service::Journal>(m_output, [this] {
            return QDateTime::fromMSecsSinceEpoch(clock.now().count(), Qt::UTC);
        });
        server = std::make_unique<TinyServer>();
        gate = new HttpGate(clock, *journal);
        gate->listen(QHostAddress::LocalHost);
        server->bind(gate);
        server->gate = gate;
        QObject::connect(gate, &QTcpServer::pendingConnectionAvailable, [this] { ++accepted; });
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
    int accepted = 0;         // handed to the server

  private:
    std::FILE* m_output = nullptr;
    char* m_buffer = nullptr;
    std::size_t m_size = 0;
};

// A client that keeps what it is sent, read as soon as it comes; connected unless the port is 0.
struct Client {
    explicit Client(quint16 port, QTcpSocket* made = new QTcpSocket) : socket(made) {
        QObject::connect(socket.get(), &QIODevice::readyRead, socket.get(),
                         [this] { received += socket->readAll(); });
        if (port != 0)
            socket->connectToHost(QHostAddress::LocalHost, port);
    }
    int answers(int status) const {
        return static_cast<int>(
            received.count(QByteArray("HTTP/1.1 ") + QByteArray::number(status)));
    }
    bool closed() const { return socket->state() == QAbstractSocket::UnconnectedState; }
    std::unique_ptr<QTcpSocket> socket;
    QByteArray received;
};
using Clients = std::vector<std::unique_ptr<Client>>;

const QByteArray kGet = QByteArrayLiteral("GET / HTTP/1.1\r\nHost: a\r\n\r\n");
constexpr GateLimits kLimits;

} // namespace

class TestHttpGate : public QObject {
    Q_OBJECT
  private slots:
    void limits_data();
    void limits();
    void crowds_data();
    void crowds();
    void webSocketLeaves();
    void tls();
};

void TestHttpGate::limits_data() {
    QTest::addColumn<QByteArray>("request"); // sent twice when answered 200
    QTest::addColumn<qint64>("filler");      // bytes of 'a' sent after it
    QTest::addColumn<int>("wait");           // seconds the clock goes on afterwards
    QTest::addColumn<int>("status");         // 0: none
    QTest::addColumn<QString>("logged");

    QTest::newRow("head of 1 MB") << QByteArray("GET / HTTP/1.1\r\nX-Filler: ") << qint64(1 << 20)
                                  << 0 << 431
                                  << "sent a request head over 64 KiB; answered 431 and closed";
    QTest::newRow("body of 10 MB")
        << QByteArray("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 10485760\r\n\r\n")
        << qint64(10 << 20) << 0 << 413 << "sent a request over 64 KiB; answered 413 and closed";
    QTest::newRow("a byte every 10 s") << QByteArray("GET / HT") << qint64(0) << 10 << 408
                                       << "sent no whole request within 10 s; answered 408";
    QTest::newRow("TLS to the plain port")
        << QByteArray("\x16\x03\x01\x02\xa5\x01\x02\x03\r\n\r\n") << qint64(0) << 0 << 0
        << "sent a request that cannot be parsed; closed";
    QTest::newRow("idle") << QByteArray() << qint64(0) << 60 << 0 << QString();
    QTest::newRow("kept alive") << kGet << qint64(0) << 0 << 200 << QString();
}

void TestHttpGate::limits() {
    QFETCH(QByteArray, request);
    QFETCH(qint64, filler);
    QFETCH(int, wait);
    QFETCH(int, status);
    QFETCH(QString, logged);

    Rig rig;
    Client client(rig.gate->serverPort());
    QTRY_COMPARE(rig.gate->connectionCount(), 1);
    auto* served = rig.gate->findChild<QTcpSocket*>();
    // Qt's server keeps a request in the socket's buffer: held to the limit and the byte past it.
    QCOMPARE(served->readBufferSize(), kLimits.maxRequestBytes + 1);
    // Connected after the gate and the server: the clock goes on once they have read.
    int reads = 0;
    connect(served, &QIODevice::readyRead, this, [&] { ++reads; });
    const int times = status == 200 ? 2 : int(!request.isEmpty());
    for (int i = 1; i <= times; ++i) {
        client.socket->write(request + QByteArray(filler, 'a'));
        if (wait > 0)
            QTRY_VERIFY(reads >= i);
        if (status == 200)
            QTRY_COMPARE(client.answers(200), i);
    }
    if (wait > 0) {
        rig.advance(std::chrono::seconds(wait - 1));
        QVERIFY(!client.closed() && client.received.isEmpty());
        rig.advance(1s);
    }
    if (status != 200) {
        QTRY_VERIFY(client.closed());
        QTRY_COMPARE(rig.gate->connectionCount(), 0);
    }
    QCOMPARE(client.answers(status), status == 0 ? 0 : times);
    QCOMPARE(client.received.isEmpty(), status == 0);
    QCOMPARE(client.closed(), status != 200);
    QCOMPARE(rig.server->handled, status == 200 ? times : 0);
    QCOMPARE(client.received.contains("Connection: close\r\n\r\n{\"error\":"), status > 400);
    QVERIFY(rig.journalText().contains(logged));
    QCOMPARE(rig.journalText().isEmpty(), logged.isEmpty());
}

void TestHttpGate::crowds_data() {
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("step");         // connected at once, each step accepted before the next
    QTest::addColumn<int>("between");      // ms on the clock after each step
    QTest::addColumn<qsizetype>("closed"); // by the end

    // Room for a normal request while one peer holds 300 connections open.
    QTest::newRow("300 held open") << 300 << 25 << 10 << qsizetype(300 - kLimits.maxConnections);
    // A new connection every half second holds back no deadline: the first one idles out.
    QTest::newRow("a trickle") << 120 << 1 << 500 << qsizetype(1);
}

void TestHttpGate::crowds() {
    QFETCH(int, count);
    QFETCH(int, step);
    QFETCH(int, between);
    QFETCH(qsizetype, closed);

    Rig rig;
    Clients crowd;
    const auto gone = [&] {
        return std::count_if(crowd.begin(), crowd.end(),
                             [](auto& client) { return client->closed(); });
    };
    while (int(crowd.size()) < count) {
        for (int i = 0; i < step; ++i)
            crowd.push_back(std::make_unique<Client>(rig.gate->serverPort()));
        QTRY_COMPARE(rig.accepted, int(crowd.size()));
        rig.advance(std::chrono::milliseconds(between));
    }
    QTRY_COMPARE(gone(), closed);
    QTRY_COMPARE(rig.gate->connectionCount(), count - closed);
    QVERIFY(crowd.front()->closed() && !crowd.back()->closed());

    Client normal(rig.gate->serverPort());
    normal.socket->write(kGet);
    QTRY_COMPARE(normal.answers(200), 1);
    QCOMPARE(rig.journalText().contains("closed as the one idle longest of 256 connections"),
             count > kLimits.maxConnections);
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
    rig.advance(kLimits.idleTime + kLimits.requestTime);
    QSignalSpy heard(served.get(), &QWebSocket::textMessageReceived);
    client.sendTextMessage(QString(kLimits.maxRequestBytes, QLatin1Char('a')));
    QTRY_COMPARE(heard.size(), 1);
    QCOMPARE(client.state(), QAbstractSocket::ConnectedState);
}

void TestHttpGate::tls() {
    Rig rig;
    QCOMPARE(rig.gate->useTls(kCertificate, kKey), QString());
    QVERIFY(rig.gate->tls());
    QVERIFY(rig.gate->useTls("/nowhere/cert.pem", kKey).contains("/nowhere/cert.pem"));
    QVERIFY(
        rig.gate->useTls(kCertificate, kCertificate).contains("no unencrypted PEM private key"));

    auto* tls = new QSslSocket;
    Client secure(0, tls);
    tls->ignoreSslErrors({QSslError(QSslError::SelfSignedCertificate,
                                    QSslCertificate::fromPath(kCertificate).first())});
    tls->connectToHostEncrypted(QStringLiteral("127.0.0.1"), rig.gate->serverPort());
    tls->write(kGet);
    QTRY_COMPARE(secure.answers(200), 1);

    Client silent(rig.gate->serverPort());
    QTRY_COMPARE(rig.gate->connectionCount(), 2);
    rig.advance(kLimits.handshakeTime);
    QTRY_VERIFY(silent.closed());
    QVERIFY(!secure.closed());
    QVERIFY(rig.journalText().contains("did not finish the TLS handshake within 10 s; closed"));
}

QTEST_GUILESS_MAIN(TestHttpGate)
#include "tst_http_gate.moc"
