// What the platform tells a program that serves local clients and runs until
// told to stop, in-process: who is at the other end of a local connection
// (this test itself), and the stop requests as the event loop sees them.

#include "local_peer.h"
#include "stop_requests.h"

#include <csignal>
#include <QCoreApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTest>
#ifdef Q_OS_WIN
#include <QProcessEnvironment>
#else
#include <pwd.h>
#include <unistd.h>
#endif

using namespace kavo;

namespace {

// This test's user as the system names it.
QString thisUser() {
#ifdef Q_OS_WIN
    return QProcessEnvironment::systemEnvironment().value(QStringLiteral("USERNAME"));
#else
    return QString::fromLocal8Bit(::getpwuid(::getuid())->pw_name);
#endif
}

} // namespace

class TestLocalProcess : public QObject {
    Q_OBJECT
  private slots:
    void peer_data() {
        QTest::addColumn<bool>("connected");
        QTest::newRow("a client of this process") << true;
        QTest::newRow("a connection that has ended") << false;
    }
    void peer() {
        QFETCH(bool, connected);
        QLocalServer server;
        const QString name =
            QStringLiteral("kavo-test-peer-%1").arg(QCoreApplication::applicationPid());
        QLocalServer::removeServer(name);
        QVERIFY(server.listen(name));
        QLocalSocket client;
        client.connectToServer(name);
        QVERIFY(server.waitForNewConnection(5000));
        QLocalSocket* accepted = server.nextPendingConnection();
        QVERIFY(accepted);
        if (!connected)
            accepted->abort();
        const std::optional<LocalPeer> peer = localPeerOf(*accepted);
        QCOMPARE(peer.has_value(), connected);
        if (!connected)
            return;
        QCOMPARE(peer->pid, QCoreApplication::applicationPid());
#ifdef Q_OS_WIN
        QCOMPARE(localEndpointKind(), QStringLiteral("pipe"));
        QVERIFY2(peer->user.endsWith(QLatin1Char('\\') + thisUser(), Qt::CaseInsensitive),
                 qPrintable(peer->user));
#else
        QCOMPARE(localEndpointKind(), QStringLiteral("unix"));
        QCOMPARE(peer->user, thisUser());
#endif
    }

    void stopRequest_data() {
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("name");
#ifdef Q_OS_WIN
        QTest::newRow("Ctrl+C") << 0 << QStringLiteral("Ctrl+C");
#else
        QTest::newRow("SIGTERM") << SIGTERM << QStringLiteral("SIGTERM");
        QTest::newRow("SIGINT") << SIGINT << QStringLiteral("SIGINT");
        QTest::newRow("SIGHUP") << SIGHUP << QStringLiteral("SIGHUP");
#endif
    }
    void stopRequest() {
        QFETCH(int, signal);
        QFETCH(QString, name);
#ifdef Q_OS_WIN
        QSKIP("a console event goes to every process on the console, ctest's among them");
#endif
        QStringList heard;
        const std::unique_ptr<StopRequests> requests =
            StopRequests::install([&heard](const QString& why) { heard.append(why); });
        QVERIFY(requests);
        std::raise(signal);
        QVERIFY(heard.isEmpty()); // taken on the event loop, not in the handler
        QTRY_COMPARE(heard, QStringList{name});
    }
};

QTEST_GUILESS_MAIN(TestLocalProcess)
#include "tst_local_process.moc"
