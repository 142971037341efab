// The simulator as a process: its link in a throw-away port folder, exchanges
// over the real pseudo-terminal, refusals and clean-up.

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <termios.h>
#include <unistd.h>

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
    }
    void existingEntry() {
        QFETCH(QString, kind);
        QFETCH(bool, refused);
        Simulator sim;
        QVERIFY(QDir().mkpath(sim.folder()));
        const int pty = ::posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(pty >= 0 && ::grantpt(pty) == 0 && ::unlockpt(pty) == 0);
        const QString target = kind == "pty" ? QString::fromLatin1(::ptsname(pty)) : kind;
        if (kind == "file") {
            QFile file(sim.entry());
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("mine") == 4);
        } else if (kind == "folder") {
            QVERIFY(QDir().mkpath(sim.entry()));
        } else {
            QVERIFY(QFile::link(target, sim.entry()));
        }

        sim.start();
        if (!refused) {
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(sim.entry()), kTimeout);
            QCOMPARE(sim.finish(), 0);
            QVERIFY(!QFileInfo(sim.entry()).isSymLink());
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
        ::close(pty);
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

    void badOptions_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("complaint");
        QTest::newRow("port 0") << QStringList{"--port", "0"} << "--port";
        QTest::newRow("port 16") << QStringList{"--port", "16"} << "--port";
        QTest::newRow("negative warm-up") << QStringList{"--warmup-ms", "-1"} << "--warmup-ms";
        QTest::newRow("lamp mode") << QStringList{"--lamp-mode", "TURBO"} << "--lamp-mode";
        QTest::newRow("hang-up at 0") << QStringList{"--hang-up-after", "0"} << "--hang-up-after";
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
