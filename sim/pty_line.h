#pragma once

// The simulator's line as a pseudo-terminal, connected from the start; a
// hang-up or a failure closes it for the rest of the run.

#include "pseudo_terminal.h"
#include "sim_line.h"

#include <memory>

class QSocketNotifier;

namespace kavo::sim {

class PtyLine final : public SimLine {
  public:
    PtyLine();
    ~PtyLine() override;

    bool open(QString* error) { return m_terminal.open(error); }
    QString devicePath() const { return m_terminal.devicePath(); }

    void start(Handlers handlers) override;
    bool isConnected() const override { return m_terminal.isOpen(); }
    qsizetype send(const QByteArray& bytes) override;
    void hangUp() override;

  private:
    void read();
    void close(const QString& why);

    PseudoTerminal m_terminal;
    std::unique_ptr<QSocketNotifier> m_reader;
    Handlers m_handlers;
};

} // namespace kavo::sim
