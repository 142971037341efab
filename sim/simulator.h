#pragma once

// Runs the projector model on the line: reads what the panel sends, writes
// the replies when the fault settings say they are due, and prints one line
// per exchange.

#include "projector_model.h"
#include "reply_shaper.h"
#include "sim_line.h"
#include "sim_options.h"

#include <deque>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

namespace kavo::sim {

class Simulator final : public QObject {
  public:
    Simulator(const Options& options, CommandSet commands, SimLine& line);
    ~Simulator() override;

    void start();
    // One line of standard input: a change by hand, said on standard output.
    void control(const QByteArray& line);

  private:
    milliseconds now() const { return milliseconds{m_clock.elapsed()}; }
    void receive(const QByteArray& bytes);
    void connected(const QString& who);
    void gone(const QString& why);
    void report(const Exchange& exchange, const std::vector<Piece>& pieces);
    void writeDue();
    void flood();

    Options m_options;
    ProjectorModel m_model;
    ReplyShaper m_shaper;
    SimLine& m_line;
    QElapsedTimer m_clock;
    std::deque<Piece> m_pending;
    QTimer m_writeTimer;
    QTimer m_floodTimer;
    QTimer m_hangUpTimer;
    double m_floodOwed = 0;
};

// Prints one line on standard output at once, so a reader of the log sees it
// while the simulator runs.
void printLine(const QString& text);

} // namespace kavo::sim
