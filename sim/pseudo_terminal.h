#pragma once

// The simulator's end of the serial line: a pseudo-terminal in raw mode. The
// simulator keeps the other side open as well, so that the master never sees
// a hang-up while no panel has the port open.

#include <QString>

namespace kavo::sim {

class PseudoTerminal {
  public:
    PseudoTerminal() = default;
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    bool open(QString* error);
    void close();
    bool isOpen() const { return m_master >= 0; }

    int master() const { return m_master; }       // non-blocking
    int device() const { return m_device; }       // the other side, held open here
    QString devicePath() const { return m_path; } // what a panel opens, e.g. /dev/pts/3

  private:
    int m_master = -1;
    int m_device = -1;
    QString m_path;
};

} // namespace kavo::sim
