#pragma once

// The simulated projector's behaviour, free of any I/O: command lines go in
// with the time they arrived, replies come out. The executable around it owns
// the pseudo-terminal and the clock; tests drive it with made-up times.

#include "line_constants.h"
#include "sim_constants.h"

#include <array>
#include <optional>
#include <QByteArray>
#include <QByteArrayView>
#include <QSet>
#include <QStringList>
#include <vector>

namespace kavo::sim {

// The reply to a line the projector does not know.
inline const QByteArray kUnknownReply = QByteArrayLiteral("?\r");

// The commands the projector accepts. A "%" in a command stands for one
// decimal digit, so "CF VOLUME 0%%" accepts "CF VOLUME 042" but not a "%".
class CommandSet {
  public:
    explicit CommandSet(const QStringList& commands);
    bool accepts(QByteArrayView line) const;
    qsizetype size() const { return m_exact.size() + qsizetype(m_templates.size()); }

  private:
    QSet<QByteArray> m_exact;
    std::vector<QByteArray> m_templates;
};

// Splits arriving bytes into command lines closed by CR. A line that grows
// past kMaxCommandLength is dropped as it arrives, so garbage without a CR
// never holds more than that much memory; its CR still ends it.
class LineReader {
  public:
    struct Line {
        QByteArray text;       // without the CR; empty when dropped
        qsizetype dropped = 0; // characters of an overlong line that were thrown away
    };
    std::vector<Line> feed(QByteArrayView bytes);
    qsizetype buffered() const { return m_buffer.size(); }

  private:
    QByteArray m_buffer;
    qsizetype m_dropped = 0;
};

enum class Power { Standby, WarmingUp, On, CoolingDown };
enum class LampMode { High, Normal, Eco };

struct ModelSettings {
    milliseconds warmUp = kDefaultWarmUp;
    milliseconds coolDown = kDefaultCoolDown;
    milliseconds lampHour = kDefaultLampHour;
    int lampHours = kDefaultLampHours;
    LampMode lampMode = LampMode::Normal;
};

// One command line and what the projector makes of it.
struct Exchange {
    QByteArray arrived;    // the line as it came, CR included; empty when dropped
    qsizetype dropped = 0; // length of an overlong line that was dropped
    QByteArray reply;
};

class ProjectorModel {
  public:
    explicit ProjectorModel(CommandSet commands, ModelSettings settings = {});

    // Bytes from the line at time `now` (monotonic, from any origin): one
    // exchange for every line they complete.
    std::vector<Exchange> receive(QByteArrayView bytes, milliseconds now);

    // The reply to one command line without its CR.
    QByteArray answer(QByteArrayView command, milliseconds now);

    qsizetype bufferedInput() const { return m_reader.buffered(); }

    // A change made by hand, one line of the simulator's standard input:
    // "lamp-hours N", "fault lamp|temperature|power", "temperature S C"
    // (sensor 1..3 held at C degrees), "clear" (no fault, no held sensor).
    // Empty when done, else why not.
    QString control(QByteArrayView line, milliseconds now);

  private:
    void advanceTo(milliseconds now);
    std::optional<milliseconds> phaseEnd() const;
    void apply(QByteArrayView command);
    void powerOn();
    void powerOff();
    bool lampLit() const { return m_power == Power::WarmingUp || m_power == Power::On; }
    QByteArray statusRead(QByteArrayView command) const;

    CommandSet m_commands;
    ModelSettings m_settings;
    LineReader m_reader;

    milliseconds m_now{0};
    Power m_power = Power::Standby;
    milliseconds m_phaseStart{0};
    milliseconds m_litTime{0};
    int m_input = 1;
    LampMode m_lampMode = LampMode::Normal;
    bool m_ceiling = false;
    bool m_rear = false;
    std::array<double, 3> m_temperatures{};
    // Set by hand: the power read's fault code, the sensors held.
    QByteArray m_fault;
    std::array<std::optional<double>, 3> m_held{};
};

// What control() takes, for --help.
extern const char* const kControlHelp;

} // namespace kavo::sim
