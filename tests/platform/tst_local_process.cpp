// What the platform tells a program that serves local clients and runs until
// told to stop, in-process: who is at the other end of a local connection
// (this test itself), the stop requests as the event loop sees them, and on
// Windows the service's pipe server and who may use it, the clients' check of
// whom they reach, a port folder entry naming a service's pipe, and what a
// secret file's access control list lets other users do.

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
#include "access_lists.h"
#include "local_pipe.h"

#include <QDir>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <windows.h>
// After windows.h.
#include <aclapi.h>
#include <sddl.h>
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
QString pipeName(const char* what) {
    return QStringLiteral("kavo-test-%1-%2").arg(what).arg(QCoreApplication::applicationPid());
}

// The access each SID has on a security descriptor's DACL, SID strings as keys.
QMap<QString, quint32> accessBySid(PSECURITY_DESCRIPTOR descriptor) {
    QMap<QString, quint32> access;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !dacl)
        return access;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace) ||
            static_cast<ACE_HEADER*>(ace)->AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        wchar_t* sid = nullptr;
        if (ConvertSidToStringSidW(&allowed->SidStart, &sid)) {
            access[QString::fromWCharArray(sid)] |= allowed->Mask;
            LocalFree(sid);
        }
    }
    return access;
}

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
    // The pipe's access as the running server set it, read back through a
    // client's handle: the chosen users read and write but never create an
    // instance, which would let them answer in the service's place.
    void pipeSecurity_data() {
        QTest::addColumn<QString>("users");
        QTest::newRow("the PC's users") << QString::fromLatin1(kPcUsersSid);
        QTest::newRow("a group of the domain") << "S-1-5-21-1004336348-1177238915-682003330-1121";
    }
    void pipeSecurity() {
        QFETCH(QString, users);
        LocalPipeServer server;
        server.setUsersSid(users);
        QVERIFY2(server.listen(pipeName("acl")), qPrintable(server.errorString()));
        const HANDLE client = CreateFileW(server.fullServerName().toStdWString().c_str(),
                                          READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        QVERIFY(client != INVALID_HANDLE_VALUE);
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        const DWORD read = GetSecurityInfo(client, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION,
                                           nullptr, nullptr, nullptr, nullptr, &descriptor);
        CloseHandle(client);
        QCOMPARE(read, DWORD(ERROR_SUCCESS));
        const QMap<QString, quint32> access = accessBySid(descriptor);
        LocalFree(descriptor);
        QCOMPARE(access.value(QStringLiteral("S-1-5-18")), quint32(FILE_ALL_ACCESS));
        QCOMPARE(access.value(QStringLiteral("S-1-5-32-544")), quint32(FILE_ALL_ACCESS));
        QCOMPARE(access.value(processUserSid()), quint32(FILE_ALL_ACCESS));
        const quint32 granted = access.value(users);
        QCOMPARE(granted & (FILE_READ_DATA | FILE_WRITE_DATA),
                 quint32(FILE_READ_DATA | FILE_WRITE_DATA));
        QCOMPARE(granted & FILE_CREATE_PIPE_INSTANCE, 0u);
        QCOMPARE(access.size(), 4);
    }

    // The name is the service's from its first instance on, or it is not served.
    void pipeTaken_data() {
        QTest::addColumn<bool>("byQt");
        QTest::addColumn<bool>("closedFirst");
        QTest::newRow("a second server of its own") << false << false;
        QTest::newRow("another program's server") << true << false;
        QTest::newRow("served again once closed") << false << true;
    }
    void pipeTaken() {
        QFETCH(bool, byQt);
        QFETCH(bool, closedFirst);
        const QString name = pipeName("taken");
        QLocalServer other;
        LocalPipeServer first;
        QVERIFY(byQt ? other.listen(name) : first.listen(name));
        if (closedFirst)
            first.close();
        LocalPipeServer second;
        const bool served = second.listen(name);
        QCOMPARE(served, closedFirst);
        if (!served)
            QVERIFY2(
                second.errorString().contains(QStringLiteral("another program serves that pipe")),
                qPrintable(second.errorString()));
    }

    // Whom a client sends the projector's commands to.
    void pipeServerTrusted_data() {
        QTest::addColumn<QString>("server");
        QTest::addColumn<bool>("administrator");
        QTest::addColumn<bool>("trusted");
        const QString other = QStringLiteral("S-1-5-21-1-2-3-1002");
        QTest::newRow("LocalSystem") << "S-1-5-18" << false << true;
        QTest::newRow("the client's own account") << "S-1-5-21-1-2-3-1001" << false << true;
        QTest::newRow("an administrator") << other << true << true;
        QTest::newRow("another user") << other << false << false;
        QTest::newRow("the PC's users as a group") << "S-1-5-32-545" << false << false;
    }
    void pipeServerTrusted() {
        QFETCH(QString, server);
        QFETCH(bool, administrator);
        QFETCH(bool, trusted);
        QCOMPARE(trustedPipeServer(server, administrator, QStringLiteral("S-1-5-21-1-2-3-1001")),
                 trusted);
    }

    // The value of pipe-users: an account or group by name, or a SID.
    void accountSid_data() {
        QTest::addColumn<QString>("account");
        QTest::addColumn<QString>("sid"); // empty: refused
        QTest::addColumn<QString>("problem");
        QTest::newRow("the PC's users") << "Users"
                                        << "S-1-5-32-545" << QString();
        QTest::newRow("with the domain") << "BUILTIN\\Administrators"
                                         << "S-1-5-32-544" << QString();
        QTest::newRow("a SID") << "S-1-5-32-545"
                               << "S-1-5-32-545" << QString();
        QTest::newRow("no such account")
            << "kavo-nobody-here" << QString()
            << "this PC knows no account or group \"kavo-nobody-here\"";
        QTest::newRow("no SID") << "S-1-x" << QString() << "\"S-1-x\" is not a SID";
    }
    void accountSid() {
        QFETCH(QString, account);
        QFETCH(QString, sid);
        QFETCH(QString, problem);
        QString why;
        const std::optional<QString> found = kavo::accountSid(account, &why);
        QCOMPARE(found.value_or(QString()), sid);
        QCOMPARE(why, problem);
    }

    // A password file's list read as a user who is no more than one of the
    // PC's users would meet it, in its order.
    void othersAccess_data() {
        QTest::addColumn<QString>("sddl");
        QTest::addColumn<QString>("others");
        const QString own = "(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;S-1-5-21-1-2-3-1001)";
        QTest::newRow("the service and the administrators") << "D:P" + own << "";
        QTest::newRow("the PC's users may read") << "D:P" + own + "(A;;FR;;;BU)"
                                                 << "read";
        QTest::newRow("everyone, generic all") << "D:(A;;GA;;;WD)"
                                               << "read and changed";
        QTest::newRow("authenticated users may write") << "D:(A;;FW;;;AU)"
                                                       << "changed";
        QTest::newRow("taking the list over") << "D:(A;;WD;;;BU)"
                                              << "changed";
        QTest::newRow("synchronize alone") << "D:(A;;0x100000;;;AU)"
                                           << "";
        QTest::newRow("denied first") << "D:(D;;FA;;;BU)(A;;FA;;;WD)"
                                      << "";
        QTest::newRow("allowed first") << "D:(A;;FR;;;WD)(D;;FA;;;BU)"
                                       << "read";
        QTest::newRow("for what is made inside only") << "D:(A;OIIO;FA;;;WD)"
                                                      << "";
        // Wine reads D:NO_ACCESS_CONTROL as an empty list; no list at all is the same.
        QTest::newRow("no list") << "O:SY"
                                 << "read and changed";
    }
    void othersAccess() {
        QFETCH(QString, sddl);
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        QVERIFY(ConvertStringSecurityDescriptorToSecurityDescriptorW(
            sddl.toStdWString().c_str(), SDDL_REVISION_1, &descriptor, nullptr));
        const QString others = kavo::othersAccess(descriptor);
        LocalFree(descriptor);
        QTEST(others, "others");
    }

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
        // The service's own pipe server, which lets its users read and write only.
        LocalPipeServer server;
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
        QTRY_VERIFY(server.hasPendingConnections());
        QLocalSocket* accepted = server.nextPendingConnection();
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
