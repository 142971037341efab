// The simulator as a process: its link in a throw-away port folder, exchanges
// over the real pseudo-terminal or, with --listen, over loopback TCP, refusals
// and clean-up.

#include "pty_pair.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <termios.h>
#include <unistd.h>

using namespace kavo::test;

namespace {

constexpr int kTimeout = 10000; // generous: the machine may be busy building

// Opens the link raw, as the panel would, and waits at most kTimeout for anything.
class Line {
  public:
    explicit Line(const QString& path)
        : m_fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
        termios settings{};
        if (m_fd >= 0 && ::tcgetattr(m_fd, &settings) == 0) {
            ::cfmakeraw(&settings);
            ::tcsetattr(m_fd, TCSANOW, &settings);
        }
    }
    ~Line() { ::close(m_fd); }
    bool isOpen() const { return m_fd >= 0; }
    bool wait(short events) {
        pollfd line{m_fd, POLLIN, 0};
        return ::poll(&line, 1, kTimeout) == 1 && (line.revents & events);
    }
    // Sends a command and collects the reply up to an ACK or a CR.
    QByteArray ask(const QByteArray& command) {
        QByteArray reply;
        if (::write(m_fd, command.constData(), command.size()) != command.size())
            return reply;
        char byte = 0;
        while (byte != '\r' && byte != '\x06' && wait(POLLIN) && ::read(m_fd, &byte, 1) == 1)
            reply += byte;
        return reply;
    }

  private:
    int m_fd;
};

// A client of the simulator's --listen port, as a network serial server's
// client would be.
class Client {
  public:
    explicit Client(quint16 port) {
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        m_socket.waitForConnected(kTimeout);
    }
    QAbstractSocket::SocketState state() const { return m_socket.state(); }
    QAbstractSocket::SocketError error() const { return m_socket.error(); }
    QByteArray ask(const QByteArray& command) {
        QByteArray reply;
        m_socket.write(command);
        while (!reply.endsWith('\r') && !reply.endsWith('\x06') &&
               m_socket.waitForReadyRead(kTimeout))
            reply += m_socket.readAll();
        return reply;
    }
    // True once the simulator has closed the connection.
    bool waitForHangUp() {
        return m_socket.state() == QAbstractSocket::UnconnectedState ||
               m_socket.waitForDisconnected(kTimeout);
    }

  private:
    QTcpSocket m_socket;
};

class Simulator {
  public:
    explicit Simulator(const QStringList& arguments = {}) : m_arguments(arguments) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_config.path());
        m_process.setProcessEnvironment(environment);
    }
    ~Simulator() {
        m_process.kill();
        m_process.waitForFinished(kTimeout);
    }
    QString folder() const { return m_config.path() + QStringLiteral("/KAVO/ports"); }
    QString entry() const { return folder() + QStringLiteral("/COM1"); }
    void start() { m_process.start(QStringLiteral(KAVO_SIM_EXECUTABLE), m_arguments); }
    // Exit code after SIGTERM (or by itself when `terminate` is false); -1 if it hangs.
    int finish(bool terminate = true) {
        if (terminate)
            ::kill(pid_t(m_process.processId()), SIGTERM);
        if (!m_process.waitForFinished(kTimeout) || m_process.exitStatus() != QProcess::NormalExit)
            return -1;
        return m_process.exitCode();
    }
    QString output() {
        return m_output += QString::fromLocal8Bit(m_process.readAllStandardOutput());
    }
    QString errors() { return QString::fromLocal8Bit(m_process.readAllStandardError()); }
    // The TCP port it listens on, from its first line; 0 if it says none.
    quint16 listeningPort() {
        static const QRegularExpression name(QStringLiteral("socket://127\\.0\\.0\\.1:(\\d+)"));
        QDeadlineTimer deadline(kTimeout);
        while (!name.match(output()).hasMatch() &&
               m_process.waitForReadyRead(int(deadline.remainingTime()))) {
        }
        return quint16(name.match(output()).captured(1).toUInt());
    }

  private:
    QTemporaryDir m_config;
    QStringList m_arguments;
    QProcess m_process;
    QString m_output;
};

} // namespace

class TestSimProcess : public QObject {
    Q_OBJECT
  private slots:
    void answersOnItsLinkAndCleansUp() {
        Simulator sim({"--seed", "1", "--warmup-ms", "100"});
        sim.start();
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(sim.entry()).isSymLink(), kTimeout);
        QVERIFY(QFileInfo(sim.entry()).symLinkTarget().startsWith("/dev/pts/"));
        {
            Line line(sim.entry());
            QVERIFY(line.isOpen());
            QCOMPARE(line.ask("CR0\r"), QByteArray("80\r"));
            QCOMPARE(line.ask("C00\r"), QByteArray("\x06"));
            QCOMPARE(line.ask("NOPE\r"), QByteArray("?\r"));
        }
        QTRY_VERIFY_WITH_TIMEOUT(sim.output().contains("in: C R 0  [CR]   out: 8 0  [CR] "),
                                 kTimeout);
        QVERIFY(sim.output().contains("in: N O P E  [CR]   out: ?  [CR] "));
        QCOMPARE(sim.finish(), 0);
        QVERIFY(!QFileInfo(sim.entry()).isSymLink());
    }

    // What stands at COM1 before the start; only a dangling pseudo-terminal link is taken over.
    void existingEntry_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("refused");
        QTest::newRow("regular file") << "file" << true;
        QTest::newRow("folder") << "folder" << true;
        QTest::newRow("link to a device") << "/dev/null" << true;
        QTest::newRow("link to a live pseudo-terminal") << "pty" << true;
        QTest::newRow("link left by a killed simulator") << "/dev/pts/999999" << false;
        // Its pseudo-terminal number is someone's terminal again.
        QTest::newRow("live pseudo-terminal, its simulator gone") << "pty gone" << false;
    }
    void existingEntry() {
        QFETCH(QString, kind);
        QFETCH(bool, refused);
        Simulator sim;
        QVERIFY(QDir().mkpath(sim.folder()));
        const PtyPair pty;
        QVERIFY(pty.isValid());
        const bool gone = kind == "pty gone";
        const QString target = kind == "pty" || gone ? pty.slavePath() : kind;
        const QString other = sim.folder() + QStringLiteral("/COM2");
        if (gone) {
            // The simulator that made COM1 and COM2 has ended.
            QProcess ended;
            ended.start(QStringLiteral("true"), QStringList());
            QVERIFY(ended.waitForFinished());
            for (const QString& link : {sim.entry(), other}) {
                QFile record(link + QStringLiteral(".simulator"));
                QVERIFY(record.open(QIODevice::WriteOnly));
                record.write(QByteArray::number(ended.processId()) + '\n' + target.toLatin1() +
                             '\n');
            }
            QVERIFY(makePortEntry(sim.folder(), 2, PortEntryKind::Link, target.toLatin1()));
        }
        if (kind == "file") {
            QFile file(sim.entry());
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("mine") == 4);
        } else if (kind == "folder") {
            QVERIFY(QDir().mkpath(sim.entry()));
        } else {
            QVERIFY(makePortEntry(sim.folder(), 1, PortEntryKind::Link, target.toLatin1()));
        }

        sim.start();
        if (!refused) {
            QTRY_VERIFY_WITH_TIMEOUT(sim.output().contains("Ctrl+C"), kTimeout);
            QVERIFY(QFileInfo(sim.entry()).symLinkTarget() != target);
            QCOMPARE(QFileInfo(other).isSymLink(), false);
            QCOMPARE(sim.finish(), 0);
            QVERIFY(!QFileInfo(sim.entry()).isSymLink());
            QVERIFY(!QFileInfo::exists(sim.entry() + QStringLiteral(".simulator")));
        } else {
            QCOMPARE(sim.finish(false), 1);
            QVERIFY(sim.errors().contains("leaving it alone"));
            if (kind == "file")
                QCOMPARE(QFileInfo(sim.entry()).size(), 4);
            else if (kind == "folder")
                QVERIFY(QFileInfo(sim.entry()).isDir());
            else
                QCOMPARE(QFileInfo(sim.entry()).symLinkTarget(), target);
        }
    }

    void hangsUpWhenAsked() {
        Simulator sim({"--hang-up-after", "0.3"});
        sim.start();
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(sim.entry()), kTimeout);
        Line line(sim.entry());
        QVERIFY(line.isOpen());
        QVERIFY(line.wait(POLLHUP | POLLERR));
        QTRY_VERIFY_WITH_TIMEOUT(sim.output().contains("hung up"), kTimeout);
        QCOMPARE(sim.finish(), 0);
        QVERIFY(!QFileInfo(sim.entry()).isSymLink());
    }

    void listensAndServesOneClientAtATime() {
        Simulator sim({"--seed", "1", "--listen", "0"});
        sim.start();
        const quint16 port = sim.listeningPort();
        QVERIFY(port != 0);
        {
            Client first(port);
            QCOMPARE(first.ask("CR0\r"), QByteArray("80\r"));
            Client second(port);
            QVERIFY(second.waitForHangUp());
            QCOMPARE(first.ask("C00\r"), QByteArray("\x06"));
            // The port stays the simulator's: nobody else can listen there meanwhile.
            QTcpServer intruder;
            QVERIFY(!intruder.listen(QHostAddress::LocalHost, port));
        }
        QTRY_VERIFY_WITH_TIMEOUT(sim.output().contains("the client left"), kTimeout);
        QVERIFY(sim.output().contains("refused a second client while one is connected"));
        Client next(port);
        QCOMPARE(next.ask("CR0\r"), QByteArray("40\r")); // the same projector, warming up
        QVERIFY(sim.output().contains(QRegularExpression("client 127.0.0.1:\\d+ connected")));
        QCOMPARE(sim.finish(), 0);
        QVERIFY(!QFileInfo::exists(sim.folder()));
    }

    void listeningHangsUpEachConnection() {
        Simulator sim({"--listen", "127.0.0.1:0", "--hang-up-after", "0.3"});
        sim.start();
        const quint16 port = sim.listeningPort();
        QVERIFY(port != 0);
        for (int round = 0; round < 2; ++round) {
            Client client(port);
            QCOMPARE(client.state(), QAbstractSocket::ConnectedState);
            QVERIFY(client.waitForHangUp());
            QTRY_COMPARE_WITH_TIMEOUT(
                int(sim.output().count("hung up as asked: the connection is closed")), round + 1,
                kTimeout);
        }
        QCOMPARE(sim.finish(), 0);
    }

    void badOptions_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("complaint");
        QTest::newRow("port 0") << QStringList{"--port", "0"} << "--port";
        QTest::newRow("port 16") << QStringList{"--port", "16"} << "--port";
        QTest::newRow("negative warm-up") << QStringList{"--warmup-ms", "-1"} << "--warmup-ms";
        QTest::newRow("lamp mode") << QStringList{"--lamp-mode", "TURBO"} << "--lamp-mode";
        QTest::newRow("hang-up at 0") << QStringList{"--hang-up-after", "0"} << "--hang-up-after";
        QTest::newRow("listen port 65536") << QStringList{"--listen", "65536"} << "--listen";
        QTest::newRow("listen on a host name")
            << QStringList{"--listen", "projector.example:4001"} << "--listen";
        QTest::newRow("listen on IPv6 without brackets")
            << QStringList{"--listen", "::1:4001"} << "--listen";
        QTest::newRow("listen and port") << QStringList{"--listen", "4001", "--port", "2"}
                                         << "--port and --listen cannot be given together";
        QTest::newRow("unknown option") << QStringList{"--colour"} << "colour";
        QTest::newRow("stray argument") << QStringList{"COM1"} << "COM1";
    }
    void badOptions() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, complaint);
        Simulator sim(arguments);
        sim.start();
        QCOMPARE(sim.finish(false), 2);
        QVERIFY(sim.errors().contains(complaint));
        QVERIFY(!QFileInfo::exists(sim.folder()));
    }
};

QTEST_GUILESS_MAIN(TestSimProcess)
#include "tst_sim_process.moc"
