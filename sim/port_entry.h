#pragma once

// The entry COM<n> in the per-user port folder, as a link to the simulator's
// pseudo-terminal, with the record beside it that marks it as this
// simulator's. The simulator never replaces an entry that someone else made:
// only a link left by a simulator that was killed (its pseudo-terminal gone,
// or its record naming a simulator no longer running) is taken over. On
// release the link is removed only while it still points where this
// simulator put it.

#include <QString>
#include <QStringList>

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

    // Removes the links that simulators no longer running left in the folder,
    // with their records; returns the entries removed.
    static QStringList removeStaleLinks(const QString& folder);

  private:
    bool writeRecord(QString* error);

    QString m_path;
    QString m_target;
    bool m_claimed = false;
};

} // namespace kavo::sim
