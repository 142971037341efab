#pragma once

// kavo-projectord as a process for tests: started on COM3 of the current
// config home with a socket of the test's, its journal read line by line.

#include <csignal>
#include <QDeadlineTimer>
#include <QDebug>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace kavo::test {

inline constexpr int kHang = 15000; // only a hang reaches it

inline const QString kSim = QStringLiteral(KAVO_SIM_PATH);

class Service {
  public:
    Service(const QString& socket, const QStringList& arguments) {
        // Its own complaints, a sanitizer's report among them, go to the test's log.
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral(KAVO_SERVICE_PATH),
                        QStringList{"--port", "3", "--socket", socket} + arguments);
        m_process.waitForStarted(kHang);
    }
    ~Service() {
        m_process.kill();
        m_process.waitForFinished();
    }
    // Waits for a journal line after the last one found that holds every
    // part, in this order; returns it.
    QString waitFor(const QStringList& parts, int ms = kHang) {
        QDeadlineTimer deadline(ms);
        do {
            m_log += QString::fromUtf8(m_process.readAllStandardOutput());
            const QStringList lines = m_log.split(QLatin1Char('\n'));
            for (qsizetype n = m_found; n < lines.size(); ++n) {
                qsizetype at = 0;
                for (const QString& part : parts)
                    at = at < 0 ? at : lines[n].indexOf(part, at);
                if (at >= 0) {
                    m_found = n + 1;
                    return lines[n];
                }
            }
        } while (m_process.state() == QProcess::Running && !deadline.hasExpired() &&
                 (m_process.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime()))) ||
                  m_process.state() == QProcess::Running));
        qWarning().noquote() << "no line with" << parts << "in the journal:\n" + m_log;
        return {};
    }
    // Stops it with SIGTERM (or another signal): the exit code, or -1 when it
    // did not stop.
    int stop(int signal = SIGTERM) {
        ::kill(pid_t(m_process.processId()), signal);
        if (!m_process.waitForFinished(kHang) || m_process.exitStatus() != QProcess::NormalExit)
            return -1;
        return m_process.exitCode();
    }
    QProcess& process() { return m_process; }
    // Every journal line so far.
    QString journal() {
        m_log += QString::fromUtf8(m_process.readAllStandardOutput());
        return m_log;
    }

  private:
    QProcess m_process;
    QString m_log;
    qsizetype m_found = 0;
};

} // namespace kavo::test
