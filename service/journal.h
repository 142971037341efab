#pragma once

// The service's record of what happened: one line an exchange or event,
// TAB-separated, "TIME<TAB>WHO<TAB>WHAT", the time in ISO 8601 UTC with
// milliseconds. Lines go to standard output (journald under systemd) and,
// with --journal, are appended to a file as well, which is rotated when it
// would pass its size: FILE.1 is the newest old one, three are kept.
//
// Complaints that a client, a broker peer or a noisy line can repeat without
// end are summarised, so that they never push real history out of the file:
// the first few of a kind from one source in a period are written, the rest
// counted and written as one line when the period is over.

#include "exchanger.h"
#include "timer.h"

#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <QDateTime>
#include <QFile>
#include <QString>
#include <vector>

namespace kavo::service {

inline constexpr qint64 kJournalRotateBytes = 10 * 1024 * 1024;
inline constexpr int kJournalKept = 3;
inline constexpr int kComplaintBurst = 5;
inline constexpr std::chrono::seconds kComplaintPeriod{60};
// Sources and kinds followed at once; past that the rest are counted together.
inline constexpr std::size_t kComplaintKinds = 256;
// Lines kept in memory for the web page's journal view.
inline constexpr std::size_t kRecentEntries = 200;

struct JournalEntry {
    quint64 id = 0; // 1, 2, 3 ... in the order written
    QDateTime time;
    QString who; // as written: controls shown, never raw
    QString what;
};

class Journal {
  public:
    using Clock = std::function<QDateTime()>;

    explicit Journal(std::FILE* output, Clock clock = &QDateTime::currentDateTimeUtc);
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Appends to the file as well from now on; an error says why it cannot.
    // The folder must be one only its owner can write to; a link or anything
    // but a regular file at the path is refused; a new file is rw-r-----.
    QString openFile(const QString& path, qint64 rotateBytes = kJournalRotateBytes);
    // Counts of summarised complaints are written when their period is over
    // by a timer of these; without one, at the next complaint or flush.
    void useTimers(TimerFactory& timers);

    void write(QStringView who, QStringView what);
    // TxD and RxD traces as kavoctl prints them, STATUS with a decoded
    // status read, and the outcome when the reply is no proper answer.
    void exchange(QStringView who, const Exchange& exchange);
    // A complaint of `kind` from `source` (empty: `who`), summarised past
    // `burst` in kComplaintPeriod.
    void complain(QStringView who, QStringView what, QStringView kind, QStringView source = {},
                  int burst = kComplaintBurst);
    // Writes the counts of every summarised complaint now (when stopping).
    void flushComplaints();

    // The last kRecentEntries lines, oldest first.
    const std::deque<JournalEntry>& recent() const { return m_recent; }
    // Told of every line as it is written.
    void addObserver(std::function<void(const JournalEntry&)> observer) {
        m_observers.push_back(std::move(observer));
    }

  private:
    struct Repeats {
        QDateTime since;
        QString who;
        QString kind;
        int written = 0;
        qint64 counted = 0;
    };
    void toFile(const QByteArray& line);
    void rotate();
    bool openAt(const QString& path, QString& error);
    void writeCount(const Repeats& repeats);
    // Writes and forgets the counts whose period is over (all with `all`).
    void flushOver(bool all);

    std::FILE* m_output;
    Clock m_clock;
    QFile m_file;
    QString m_path;
    qint64 m_rotateBytes = kJournalRotateBytes;
    bool m_fileFailed = false;
    std::map<QString, Repeats> m_repeats; // by source and kind
    std::unique_ptr<Timer> m_flush;
    std::deque<JournalEntry> m_recent;
    quint64 m_lastId = 0;
    std::vector<std::function<void(const JournalEntry&)>> m_observers;
};

} // namespace kavo::service
