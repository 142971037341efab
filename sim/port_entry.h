#pragma once

// The entry COM<n> in the per-user port folder, as a link to the simulator's
// pseudo-terminal. The simulator never replaces an entry that someone else
// made: only a dangling link to a pseudo-terminal that no longer exists (left
// by a simulator that was killed) is taken over. On release the link is
// removed only while it still points where this simulator put it.

#include <QString>

namespace kavo::sim {

class PortEntry {
  public:
    PortEntry(QString path, QString target);
    ~PortEntry();
    PortEntry(const PortEntry&) = delete;
    PortEntry& operator=(const PortEntry&) = delete;

    bool claim(QString* error);
    void release();
    bool claimed() const { return m_claimed; }

  private:
    QString m_path;
    QString m_target;
    bool m_claimed = false;
};

} // namespace kavo::sim
