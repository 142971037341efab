#pragma once

// The service's queue on the fake line and clock, with a projector that
// answers like the simulated one, and the journal in memory: the rig of the
// in-process tests of the service and its web page.

#include "fakes.h"
#include "journal.h"
#include "line_queue.h"

#include <cstdio>
#include <QMap>

namespace kavo::test {

using namespace std::chrono_literals;

// The simulated projector's answers, as far as these tests need them.
inline QString answerTo(const QString& command) {
    static const QMap<QString, QString> reads{{"CR0", "80\r"},
                                              {"CR1", "1\r"},
                                              {"CR3", "01537\r"},
                                              {"CR4", "11\r"},
                                              {"CR6", "+24.0 +25.5 +26.0\r"},
                                              {"CR LAMPSTS", "000 1O\r"},
                                              {"CR LAMPMODE", "000 NORMAL\r"}};
    if (reads.contains(command))
        return reads.value(command);
    return command.startsWith(QLatin1Char('C')) ? QStringLiteral("\x06") : QStringLiteral("?\r");
}

// The queue on the fake line, with a projector that answers each command
// `delay` after it went out, and the journal in memory.
class Rig {
  public:
    explicit Rig(service::QueueSettings settings = {}, milliseconds delay = 10ms) : m_delay(delay) {
        m_output = open_memstream(&m_buffer, &m_size);
        journal = std::make_unique<service::Journal>(m_output, [this] {
            return QDateTime::fromMSecsSinceEpoch(clock.now().count(), Qt::UTC);
        });
        line.open();
        queue = std::make_unique<service::LineQueue>(line, clock, *journal, state, settings);
    }
    ~Rig() {
        queue.reset();
        journal.reset();
        std::fclose(m_output);
        std::free(m_buffer);
    }
    // Lets `ms` pass in steps of 1 ms; what went out is answered in time.
    void run(milliseconds span) {
        for (milliseconds passed{0}; passed < span; passed += 1ms) {
            if (const QByteArray written = line.takeWritten(); !written.isEmpty()) {
                for (const QByteArray& command : written.split('\r')) {
                    if (command.isEmpty())
                        continue;
                    sent.append(QString::fromLatin1(command));
                    const QString text = QString::fromLatin1(command);
                    m_due.push_back({clock.now() + m_delay, answers.value(text, answerTo(text))});
                }
            }
            while (!m_due.empty() && m_due.front().first <= clock.now()) {
                line.receive(m_due.front().second);
                m_due.erase(m_due.begin());
            }
            clock.advance(1ms);
        }
    }
    QString journalText() {
        std::fflush(m_output);
        return QString::fromUtf8(m_buffer, qsizetype(m_size));
    }

    FakeClock clock;
    FakeSerialPort line;
    ProjectorState state;
    std::unique_ptr<service::Journal> journal;
    std::unique_ptr<service::LineQueue> queue;
    QStringList sent;
    QMap<QString, QString> answers; // in place of the usual answer to a command

  private:
    milliseconds m_delay;
    std::vector<std::pair<milliseconds, QString>> m_due;
    std::FILE* m_output = nullptr;
    char* m_buffer = nullptr;
    std::size_t m_size = 0;
};

} // namespace kavo::test
