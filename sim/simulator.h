#pragma once

// Runs the projector model on the pseudo-terminal: reads what the panel sends,
// writes the replies when the fault settings say they are due, and prints one
// line per exchange.

#include "projector_model.h"
#include "reply_shaper.h"
#include "sim_options.h"

#include <deque>
#include <memory>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QSocketNotifier;

namespace kavo::sim {

class PseudoTerminal;

class Simulator final : public QObject {
  public:
    Simulator(const Options& options, CommandSet commands, PseudoTerminal& line);
    ~Simulator() override;

    void start();

  private:
    milliseconds now() const { return milliseconds{m_clock.elapsed()}; }
    void readLine();
    void report(const Exchange& exchange, const std::vector<Piece>& pieces);
    void writeDue();
    void flood();
    void hangUp(const QString& why);
    qsizetype send(const QByteArray& bytes);

    Options m_options;
    ProjectorModel m_model;
    ReplyShaper m_shaper;
    PseudoTerminal& m_line;
    QElapsedTimer m_clock;
    std::unique_ptr<QSocketNotifier> m_reader;
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
