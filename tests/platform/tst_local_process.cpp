// What the platform tells a program that serves local clients and runs until
// told to stop, in-process: who is at the other end of a local connection
// (this test itself), the stop requests as the event loop sees them, and on
// Windows a port folder entry naming a service's pipe.

#include "local_peer.h"
#include "network_ports.h"
#include "port_factory.h"
#include "port_paths.h"
#include "stop_requests.h"

#include <csignal>
#include <QCoreApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTest>
#ifdef Q_OS_WIN
#include <QDir>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <windows.h>
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

#ifdef Q_OS_WIN
// COM7 of the port folder, by the full path after \\?\ (else the name is the
// serial port): written with `text`, or removed when it is empty.
bool writeEntry7(const QByteArray& text) {
    const std::wstring file = (QStringLiteral("\\\\?\\") +
                               QDir::toNativeSeparators(portFolder() + QStringLiteral("/COM7")))
                                  .toStdWString();
    if (text.isEmpty())
        return ::DeleteFileW(file.c_str());
    const HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok = ::WriteFile(handle, text.constData(), DWORD(text.size()), &written, nullptr);
    ::CloseHandle(handle);
    return ok && written == DWORD(text.size());
}
#endif

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

#ifdef Q_OS_WIN
    // A pipe: entry makes the port the service's pipe, for the panel's port
    // by number as for kavoctl's; a malformed one says why.
    void pipeEntry_data() {
        QTest::addColumn<QString>("entry"); // %1: the listening pipe's name
        QTest::addColumn<QString>("problem");
        QTest::newRow("short name") << "pipe:%1" << QString();
        QTest::newRow("full name") << "pipe:\\\\.\\pipe\\%1" << QString();
        QTest::newRow("nobody serves it") << "pipe:%1-gone"
                                          << "no such pipe";
        QTest::newRow("another PC's pipe") << "pipe:\\\\hall-a\\pipe\\%1"
                                           << "is not a pipe on this PC";
        QTest::newRow("no name") << "pipe:"
                                 << "names no pipe";
        QTest::newRow("a path in the name") << "pipe:..\\%1"
                                            << "the pipe's name holds";
        QTest::newRow("unix: socket") << "unix:/run/kavo/%1.sock"
                                      << "a unix: socket, which Windows does not have";
    }
    void pipeEntry() {
        QFETCH(QString, entry);
        QFETCH(QString, problem);
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(QDir().mkpath(portFolder()));
        const QString pipe =
            QStringLiteral("kavo-test-entry-%1").arg(QCoreApplication::applicationPid());
        entry.replace(QStringLiteral("%1"), pipe);
        QVERIFY(writeEntry7(entry.toLatin1() + "\r\n"));
        QLocalServer server;
        QVERIFY(server.listen(pipe));

        QtPortFactory ports(linkedNetworkPorts());
        PortByNumber port(ports);
        port.setPortNumber(7);
        const OpenResult opened = port.open();
        const QString described = describePortDevice(7, linkedNetworkPorts());
        QVERIFY(writeEntry7({}));
        if (!problem.isEmpty()) {
            QVERIFY(!opened);
            QVERIFY2(opened.reason.contains(problem), qPrintable(opened.reason));
            QVERIFY2(described.contains(QStringLiteral(" - not present")), qPrintable(described));
            return;
        }
        QVERIFY2(opened, qPrintable(opened.reason));
        const QString shown = QStringLiteral("pipe:\\\\.\\pipe\\") + pipe;
        QCOMPARE(port.deviceName(), shown);
        QVERIFY2(described.startsWith(shown + QStringLiteral(" - present")), qPrintable(described));
        QVERIFY(server.waitForNewConnection(5000));
        QLocalSocket* accepted = server.nextPendingConnection();
        QVERIFY(accepted);
        // Collected, since each try reads what has come so far.
        QByteArray atService;
        QByteArray atPort;
        port.write("C00\r");
        QTRY_COMPARE(atService += accepted->readAll(), QByteArray("C00\r"));
        accepted->write("\x06");
        QTRY_COMPARE(atPort += port.readAll(), QByteArray("\x06"));
    }
#endif
};

QTEST_GUILESS_MAIN(TestLocalProcess)
#include "tst_local_process.moc"
