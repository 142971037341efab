#pragma once

// The service's record of what happened: one line an exchange or event,
// TAB-separated, "TIME<TAB>WHO<TAB>WHAT", the time in ISO 8601 UTC with
// milliseconds. Lines go to standard output (journald under systemd) and,
// with --journal, are appended to a file as well, which is rotated when it
// would pass its size: FILE.1 is the newest old one, three are kept.

#include "exchanger.h"

#include <cstdio>
#include <functional>
#include <QDateTime>
#include <QFile>
#include <QString>

namespace kavo::service {

inline constexpr qint64 kJournalRotateBytes = 10 * 1024 * 1024;
inline constexpr int kJournalKept = 3;

class Journal {
  public:
    using Clock = std::function<QDateTime()>;

    explicit Journal(std::FILE* output, Clock clock = &QDateTime::currentDateTimeUtc);
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Appends to the file as well from now on; an error says why it cannot.
    QString openFile(const QString& path, qint64 rotateBytes = kJournalRotateBytes);

    void write(QStringView who, QStringView what);
    // TxD and RxD traces as kavoctl prints them, STATUS with a decoded
    // status read, and the outcome when the reply is no proper answer.
    void exchange(QStringView who, const Exchange& exchange);

  private:
    void toFile(const QByteArray& line);
    void rotate();

    std::FILE* m_output;
    Clock m_clock;
    QFile m_file;
    qint64 m_rotateBytes = kJournalRotateBytes;
    bool m_fileFailed = false;
};

} // namespace kavo::service
