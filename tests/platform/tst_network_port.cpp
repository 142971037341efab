// Ports on a connection: port folder entries holding socket://HOST:PORT or
// unix:PATH, what a malformed one says, and the ports' own ways of failing,
// all on loopback. What they share with the serial port is in tst_pty_link.

#include "loopback_server.h"
#include "port_factory.h"
#include "port_paths.h"
#include "pty_pair.h"
#include "service_lines.h"
#include "tcp_serial_port.h"

#include <algorithm>
#include <ctime>
#include <QDir>
#include <QFile>
#include <QTest>
#include <QTimer>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace kavo;
using namespace kavo::test;
using namespace std::chrono_literals;

namespace {

// A listener that takes no more connections: the kernel's queue holds one
// that is never accepted, so the next attempt waits for an answer that never
// comes.
class SilentServer {
  public:
    SilentServer() {
        m_server.setListenBacklogSize(0);
        m_server.listen(QHostAddress::LocalHost);
        m_server.pauseAccepting();
        m_filler.connectToHost(QHostAddress::LocalHost, m_server.serverPort());
        m_filler.waitForConnected(2000);
    }
    bool isReady() const { return m_filler.state() == QAbstractSocket::ConnectedState; }
    QByteArray entry() const {
        return QByteArrayLiteral("socket://127.0.0.1:") + QByteArray::number(m_server.serverPort());
    }

  private:
    QTcpServer m_server;
    QTcpSocket m_filler;
};

// A socket file nobody accepts on: listening with a queue that one connection
// fills, so that the next one waits, or left by a listener that has gone.
class UnacceptedSocket {
  public:
    explicit UnacceptedSocket(bool listening) {
        sockaddr_un address{AF_UNIX, {}};
        qstrncpy(address.sun_path, entry().mid(5).constData(), sizeof address.sun_path);
        const auto* at = reinterpret_cast<const sockaddr*>(&address);
        ::bind(m_fds[0], at, sizeof address);
        if (listening && ::listen(m_fds[0], 0) == 0)
            ::connect(m_fds[1], at, sizeof address);
    }
    ~UnacceptedSocket() { std::ranges::for_each(m_fds, ::close); }
    QByteArray entry() const { return "unix:" + QFile::encodeName(m_folder.filePath("s")); }

  private:
    QTemporaryDir m_folder;
    int m_fds[2] = {::socket(AF_UNIX, SOCK_STREAM, 0), ::socket(AF_UNIX, SOCK_STREAM, 0)};
};

} // namespace

class TestNetworkPort : public QObject {
    Q_OBJECT
  private slots:
    // What a port folder entry holds, and what it then means.
    void entries_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("host");    // or a unix: socket's path; empty: unusable
        QTest::addColumn<int>("tcpPort");     // or 0
        QTest::addColumn<QString>("problem"); // a part of the reason
        const QByteArray megabyte(1 << 20, 'a');
        QTest::newRow("IPv4") << QByteArray("socket://10.0.0.5:4001\n") << "10.0.0.5" << 4001
                              << QString();
        QTest::newRow("host name, any case, blanks and CR LF")
            << QByteArray("  SOCKET://Projector-1.Hall.example:4999 \r\n")
            << "projector-1.hall.example" << 4999 << QString();
        QTest::newRow("bracketed IPv6, no line end")
            << QByteArray("socket://[::1]:65535") << "::1" << 65535 << QString();
        QTest::newRow("only the first line is read")
            << "socket://10.0.0.5:1\n" + megabyte << "10.0.0.5" << 1 << QString();
        QTest::newRow("no port") << QByteArray("socket://10.0.0.5\n") << QString() << 0
                                 << "\"socket://10.0.0.5\" names no port";
        QTest::newRow("port 0") << QByteArray("socket://10.0.0.5:0\n") << QString() << 0
                                << "port 0 is outside 1 to 65535";
        QTest::newRow("port 65536") << QByteArray("socket://10.0.0.5:65536\n") << QString() << 0
                                    << "port 65536 is outside 1 to 65535";
        QTest::newRow("port beyond any number")
            << QByteArray("socket://10.0.0.5:99999999999999999999\n") << QString() << 0
            << "\"99999999999999999999\" is not a port number";
        QTest::newRow("signed port") << QByteArray("socket://10.0.0.5:+401\n") << QString() << 0
                                     << "\"+401\" is not a port number";
        QTest::newRow("no host") << QByteArray("socket://:4001\n") << QString() << 0
                                 << "names no host";
        QTest::newRow("blank in the host") << QByteArray("socket://hall 3:4001\n") << QString() << 0
                                           << "\"hall 3\" is not a host name or address";
        QTest::newRow("IPv6 without brackets")
            << QByteArray("socket://::1:4001\n") << QString() << 0 << "goes in brackets";
        QTest::newRow("user, path or options")
            << QByteArray("socket://admin@10.0.0.5:4001/?logging=debug\n") << QString() << 0
            << "holds more than a host and a port";
        QTest::newRow("other scheme") << QByteArray("telnet://10.0.0.5:23\n") << QString() << 0
                                      << "\"telnet://10.0.0.5:23\" is neither socket://HOST:PORT "
                                         "nor unix:PATH nor a link to a device";
        QTest::newRow("unix: socket") << QByteArray("unix:/run/kavo/hall-a.sock\n")
                                      << "/run/kavo/hall-a.sock" << 0 << QString();
        QTest::newRow("unix: relative path")
            << QByteArray("unix:hall-a.sock") << QString() << 0
            << "\"hall-a.sock\" is not an absolute path; write unix:/PATH/TO/SOCKET";
        QTest::newRow("unix: no path")
            << QByteArray("unix:\n") << QString() << 0 << "\"unix:\" names no socket";
        QTest::newRow("unix: path too long")
            << "unix:/" + QByteArray(106, 'a') << QString() << 0 << "longer than the 106 bytes";
        QTest::newRow("pipe: a Windows service's pipe")
            << QByteArray("pipe:kavo-projectord-projector\n") << QString() << 0
            << "a named pipe, which only Windows has";
        QTest::newRow("device path written into a file")
            << QByteArray("/dev/ttyUSB0\n") << QString() << 0 << "nor a link to a device";
        QTest::newRow("empty file") << QByteArray() << QString() << 0 << "the entry is empty";
        QTest::newRow("blank lines") << QByteArray(" \r\n\nsocket://10.0.0.5:4001\n") << QString()
                                     << 0 << "the entry is empty";
        static const char junk[] = "\x7f"
                                   "ELF\x02\x01\x01\x00\x00\xff socket://10.0.0.5:4001";
        QTest::newRow("binary junk") << QByteArray(junk, sizeof junk - 1) << QString() << 0
                                     << "its first line is not plain text";
        QTest::newRow("1 MB without a line end")
            << megabyte << QString() << 0 << "its first line is longer than 1024 bytes";
        const QByteArray name("socket://10.0.0.5:4001");
        QTest::newRow("first line of 1024 bytes")
            << name + QByteArray(1024 - name.size(), ' ') + '\n'
            << "10.0.0.5" << 4001 << QString();
        QTest::newRow("first line of 1025 bytes")
            << name + QByteArray(1025 - name.size(), ' ') + '\n'
            << QString() << 0 << "longer than 1024 bytes";
    }
    void entries() {
        QFETCH(QByteArray, content);
        QFETCH(QString, host);
        QFETCH(QString, problem);
        TempConfigHome home;
        QVERIFY(writeEntry(portFolder(), 3, content));
        const QString path = portDevicePath(3);
        const PortTarget target = resolvePortTarget(path);
        if (!host.isEmpty()) {
            QCOMPARE(target.kind,
                     target.tcpPort ? PortTarget::Kind::Network : PortTarget::Kind::Local);
            QCOMPARE(target.tcpPort ? target.host : target.socketPath, host);
            QTEST(int(target.tcpPort), "tcpPort");
            QVERIFY2(target.shown.contains(host, Qt::CaseInsensitive), qPrintable(target.shown));
            return;
        }
        QCOMPARE(target.kind, PortTarget::Kind::Unusable);
        QVERIFY2(target.problem.contains(problem), qPrintable(target.problem));
        QVERIFY2(target.problem.size() < 300, qPrintable(target.problem));

        // Opening says "no such device" with the reason; nothing is connected to.
        QtPortFactory ports(linkedNetworkPorts());
        PortByNumber port(ports);
        port.setPortNumber(3);
        const OpenResult opened = port.open();
        QVERIFY(!opened);
        QCOMPARE(opened.reason,
                 QStringLiteral("No such device: %1 (%2).").arg(path, target.problem));
        QVERIFY(!port.isOpen());
        port.write("C00\r");
        QCOMPARE(describePortDevice(3, linkedNetworkPorts()),
                 path + " - not present (" + target.problem + ")");
    }

    // Text files are read only as entries of the user's own port folder.
    void filesElsewhereAreNotRead() {
        TempConfigHome home;
        const QString outside = home.path() + QStringLiteral("/elsewhere");
        QFile file(outside);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("socket://127.0.0.1:4001\n");
        file.close();
        QCOMPARE(resolvePortTarget(outside).kind, PortTarget::Kind::Device);
        QDir().mkpath(portFolder());
        QVERIFY(makePortEntry(portFolder(), 4, PortEntryKind::Link, QFile::encodeName(outside)));
        const PortTarget linked = resolvePortTarget(portDevicePath(4));
        QCOMPARE(linked.kind, PortTarget::Kind::Device);
        QCOMPARE(linked.shown, outside);
        // A name given directly, as kavoctl's --device takes it, needs no file.
        QCOMPARE(resolvePortTarget(QStringLiteral("socket://127.0.0.1:4001")).tcpPort, 4001);
        QVERIFY(resolvePortTarget("unix:/a\tb").problem.contains("control character (\\t)"));
    }

    // Why a connection was not made, in the operator's words; never a hang.
    void openFailures_data() {
        QTest::addColumn<QString>("server"); // "gone", "silent", "unix ..." or a fixed entry
        QTest::addColumn<QString>("reason");
        QTest::newRow("nothing listens") << "gone"
                                         << ": connection refused";
        QTest::newRow("refused right after a close") << "busy"
                                                     << ": busy (connection refused right after";
        QTest::newRow("unresolvable host name")
            << "socket://no-such-host.invalid:4001"
            << "socket://no-such-host.invalid:4001: host not found.";
        QTest::newRow("no answer") << "silent"
                                   << ": timed out after 300 ms without a connection.";
        QTest::newRow("unix: no such socket file") << "unix gone"
                                                   << ": no such socket file (";
        QTest::newRow("unix: a stale socket file") << "unix stale"
                                                   << ": nobody listening there (";
        QTest::newRow("unix: not a socket") << "unix:/dev/null"
                                            << "/dev/null: not a socket.";
        QTest::newRow("unix: permission denied") << "unix denied"
                                                 << ": permission denied (the ";
        QTest::newRow("unix: no answer") << "unix silent"
                                         << ": timed out after 300 ms";
    }
    void openFailures() {
        QFETCH(QString, server);
        QFETCH(QString, reason);
        TempConfigHome home;
        LoopbackServer gone(server.startsWith(QLatin1String("unix")));
        SilentServer silent;
        UnacceptedSocket unaccepted(server == QLatin1String("unix silent"));
        QByteArray entry = server.toLatin1();
        if (server == QLatin1String("gone") || server == QLatin1String("unix gone")) {
            entry = gone.name().toLatin1();
            gone.hangUp();
        } else if (server == QLatin1String("busy")) {
            // One client at a time: the server stops listening while it has one.
            entry = gone.name().toLatin1();
            TcpSerialPort earlier(QStringLiteral("127.0.0.1"), gone.port());
            QVERIFY(earlier.open());
            QVERIFY(gone.waitForClient(5s));
            gone.hangUp();
            earlier.close();
        } else if (server == QLatin1String("silent")) {
            QVERIFY(silent.isReady());
            entry = silent.entry();
        } else if (server == QLatin1String("unix denied")) {
            if (::geteuid() == 0)
                QSKIP("permissions do not bind root");
            entry = gone.name().toLatin1();
            QVERIFY(QFile::setPermissions(gone.socketPath(), {}));
        } else if (server.startsWith(QLatin1String("unix "))) {
            entry = unaccepted.entry();
        }
        QVERIFY(writeEntry(portFolder(), 5, entry + '\n'));
        QtPortFactory ports(linkedNetworkPorts());
        const std::unique_ptr<SerialPort> port = ports.createPort(portDevicePath(5));
        auto* connection = dynamic_cast<StreamSerialPort*>(port.get());
        QVERIFY(connection);
        connection->setConnectTimeout(300ms);
        const std::clock_t started = std::clock();
        const OpenResult opened = port->open();
        QVERIFY(std::clock() - started < CLOCKS_PER_SEC / 10); // waiting is no busy loop
        QVERIFY(!opened);
        QVERIFY2(opened.reason.startsWith(QString::fromLatin1(entry)), qPrintable(opened.reason));
        QVERIFY2(opened.reason.contains(reason), qPrintable(opened.reason));
        QVERIFY(!port->isOpen());
        // Without a loop of its own: the same outcome, told while the caller's loop runs.
        std::optional<OpenResult> later;
        port->openAsync([&](const OpenResult& result) { later = result; });
        QTRY_VERIFY_WITH_TIMEOUT(later.has_value(), 5000);
        QVERIFY2(!*later && later->reason.contains(reason), qPrintable(later->reason));
    }

    // While connecting, timers still run; a send from one finds the port
    // closed, and closing gives the attempt up.
    void sendAndCloseWhileConnecting_data() {
        QTest::addColumn<bool>("local");
        QTest::newRow("network serial server") << false;
        QTest::newRow("unix: projector-sharing service") << true;
    }
    void sendAndCloseWhileConnecting() {
        QFETCH(bool, local);
        SilentServer silent;
        UnacceptedSocket unaccepted(true);
        QVERIFY(silent.isReady());
        const auto made = QtPortFactory(linkedNetworkPorts())
                              .createPort(local ? unaccepted.entry() : silent.entry());
        auto& port = dynamic_cast<StreamSerialPort&>(*made);
        port.setConnectTimeout(10s);
        OpenResult second;
        bool wasOpen = true;
        QTimer::singleShot(20ms, [&] {
            second = port.open();
            port.write("C00\r");
            wasOpen = port.isOpen();
            port.close();
        });
        const OpenResult first = port.open();
        QVERIFY(!first);
        QVERIFY2(first.reason.contains(QLatin1String("given up")), qPrintable(first.reason));
        QVERIFY(!second);
        QVERIFY2(second.reason.contains(QLatin1String("still connecting")),
                 qPrintable(second.reason));
        QVERIFY(!wasOpen);
    }

    // A dropped connection is a lost line, said once; closing it oneself is not.
    // A service whose own line is down says so before it drops: its words are
    // the port's, never line bytes; anything else that came is line bytes.
    void droppedConnectionIsReportedOnce_data() {
        QTest::addColumn<bool>("local");
        QTest::addColumn<bool>("serverDrops");
        QTest::addColumn<QByteArray>("said"); // by the server before it drops
        QTest::addColumn<QString>("reason");
        QTest::addColumn<bool>("loaded"); // made the panel's way: from the module beside it
        const QByteArray notice =
            lineDownNotice(QDateTime::currentDateTimeUtc(), QStringLiteral("line lost: /dev/x"));
        QTest::newRow("server drops") << false << true << QByteArray() << QString() << false;
        QTest::newRow("panel closes") << false << false << QByteArray() << QString() << false;
        QTest::newRow("unix: service drops") << true << true << QByteArray() << QString() << false;
        QTest::newRow("unix: panel closes") << true << false << QByteArray() << QString() << false;
        QTest::newRow("unix: service's line is down")
            << true << true << notice
            << "the service's line to the projector is down since " +
                   QTime::currentTime().toString(QStringLiteral("HH:mm")) + ":"
            << false;
        QTest::newRow("a NAK that starts no notice")
            << false << true << QByteArray("\x15line up\r") << QString() << false;
        QTest::newRow("panel's ports, from the module")
            << false << true << QByteArray() << QString() << true;
    }
    void droppedConnectionIsReportedOnce() {
        QFETCH(bool, local);
        QFETCH(bool, serverDrops);
        QFETCH(QByteArray, said);
        QFETCH(QString, reason);
        QFETCH(bool, loaded);
        LoopbackServer server(local);
        QtPortFactory ports(loaded ? loadedNetworkPorts() : linkedNetworkPorts());
        const auto made = ports.createPort(server.name());
        SerialPort& port = *made;
        std::optional<OpenResult> opened;
        port.openAsync([&](const OpenResult& result) { opened = result; });
        QTRY_VERIFY_WITH_TIMEOUT(opened.has_value(), 5000);
        QVERIFY2(*opened && port.isOpen(), qPrintable(opened->reason));
        QVERIFY(server.waitForClient(2s));
        int lost = 0;
        QByteArray received;
        port.setEventHandler([&](CommEvent event) {
            lost += event == CommEvent::LineLost;
            received += port.readAll();
        });
        server.write(said);
        QTest::qWait(50);
        if (serverDrops)
            server.hangUp();
        else
            port.close();
        QTRY_VERIFY_WITH_TIMEOUT(!port.isOpen(), 2000);
        QTest::qWait(100);
        QCOMPARE(lost, serverDrops ? 1 : 0);
        QCOMPARE(received, reason.isEmpty() ? said : QByteArray());
        QVERIFY2(reason.isEmpty() ? port.farEndReason().isEmpty()
                                  : port.farEndReason().startsWith(reason) &&
                                        port.farEndReason().endsWith(": line lost: /dev/x"),
                 qPrintable(port.farEndReason()));
        QCOMPARE(port.open().ok, !serverDrops); // back only where the server still listens
    }

    // A tooltip says whether the name resolves, and never connects for it.
    void tooltips_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("later"); // empty: no look-up
        QTest::newRow("address") << "127.0.0.1"
                                 << " - present (network serial server: its own baud rate "
                                    "applies, not the one chosen here)"
                                 << QString();
        QTest::newRow("name that resolves") << "localhost"
                                            << " - looking up localhost"
                                            << " - present (network serial server";
        QTest::newRow("name that does not") << "no-such-host.invalid"
                                            << " - looking up no-such-host.invalid"
                                            << " - not present (host not found)";
        QTest::newRow("unix: socket there") << "unix:"
                                            << " - present (projector-sharing service: its own "
                                               "baud rate applies, not the one chosen here)"
                                            << QString();
    }
    void tooltips() {
        QFETCH(QString, host);
        QFETCH(QString, first);
        QFETCH(QString, later);
        TempConfigHome home;
        LoopbackServer server(host == QLatin1String("unix:"));
        const QString name = server.name().replace(QStringLiteral("127.0.0.1"), host);
        QVERIFY(writeEntry(portFolder(), 6, name.toLatin1()));
        QObject context;
        QString updated;
        QCOMPARE(describePortDevice(6, linkedNetworkPorts(), &context,
                                    [&](const QString& text) { updated = text; }),
                 name + first);
        if (!later.isEmpty())
            QTRY_VERIFY_WITH_TIMEOUT(updated.startsWith(name + later), 10000);
        QTest::qWait(50);
        QVERIFY(!server.hasClient());
        if (later.isEmpty())
            QCOMPARE(updated, QString());
    }
};

QTEST_GUILESS_MAIN(TestNetworkPort)
#include "tst_network_port.moc"
