#include "simulated_projector.h"

#include "loopback_server.h"
#include "port_paths.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>

namespace kavo::test {
namespace {

constexpr int kHang = 15000; // far beyond any wait used in the tests: only a hang reaches it

} // namespace

SimulatedProjector::SimulatedProjector(const QString& program, int port,
                                       const QStringList& options) {
    const QString entry = portFolder() + QStringLiteral("/COM%1").arg(port);
    const bool network = options.contains(QLatin1String("--listen"));
    const QStringList line = network ? QStringList() : QStringList{"--port", QString::number(port)};
    m_process.start(program, line + QStringList{"--seed", "7"} + options);
    QDeadlineTimer deadline(kHang);
    if (!network) {
        while (!deadline.hasExpired() && !QFileInfo(entry).isSymLink())
            QTest::qWait(10);
        return;
    }
    static const QRegularExpression listening(QStringLiteral("listening on (socket://\\S+),"));
    while (!listening.match(QString::fromLatin1(m_log)).hasMatch() &&
           m_process.waitForReadyRead(int(deadline.remainingTime())))
        m_log += m_process.readAllStandardOutput();
    m_name = listening.match(QString::fromLatin1(m_log)).captured(1);
    writeEntry(portFolder(), port, m_name.toLatin1() + '\n');
}

SimulatedProjector::~SimulatedProjector() {
    stop();
}

void SimulatedProjector::stop() {
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(kHang))
        m_process.kill();
}

QStringList SimulatedProjector::received(qsizetype count) {
    QStringList in;
    QDeadlineTimer deadline(kHang);
    while (in.size() < count && m_process.waitForReadyRead(int(deadline.remainingTime()))) {
        m_log += m_process.readAllStandardOutput();
        in.clear();
        for (const QString& line : QString::fromLatin1(m_log).split(QLatin1Char('\n'))) {
            if (const qsizetype at = line.indexOf(QLatin1String("in: ")); at >= 0)
                in << line.mid(at + 4).section(QLatin1String("  out:"), 0, 0).trimmed();
        }
    }
    return in;
}

} // namespace kavo::test
