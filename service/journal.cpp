#include "journal.h"

#include "exchange_report.h"
#include "port_paths.h"
#include "safe_files.h"

#include <QFileInfo>

namespace kavo::service {
namespace {

// One event, one line, whatever a client or the line sent: line ends become
// blanks, other controls and invisible direction changes are written out.
// TAB stays: it parts the fields of an exchange.
void appendShown(QString& line, QStringView text) {
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (c == u'\n' || c == u'\r')
            line += QChar(u' ');
        else if ((u < 0x20 && c != u'\t') || (u >= 0x7f && u <= 0x9f))
            line += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else if (isHiddenControl(c))
            line += QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0'));
        else
            line += c;
    }
}

} // namespace

Journal::Journal(std::FILE* output, Clock clock) : m_output(output), m_clock(std::move(clock)) {}

Journal::~Journal() = default;

QString Journal::openFile(const QString& path, qint64 rotateBytes) {
    m_rotateBytes = rotateBytes;
    const QString folder = QFileInfo(path).absolutePath();
    if (const QString problem = folderProblem(folder); !problem.isEmpty())
        return QStringLiteral("cannot use the journal file %1: %2")
            .arg(escapeControls(path), problem);
    QString error;
    if (!openAt(path, error))
        return QStringLiteral("cannot open the journal file %1: %2")
            .arg(escapeControls(path), error);
    return {};
}

bool Journal::openAt(const QString& path, QString& error) {
    m_file.close();
    m_path = path;
    const int fd = openAppendOnly(path, error);
    if (fd < 0)
        return false;
    if (!m_file.open(fd, QIODevice::WriteOnly | QIODevice::Append, QFileDevice::AutoCloseHandle)) {
        error = m_file.errorString();
        return false;
    }
    return true;
}

void Journal::useTimers(TimerFactory& timers) {
    m_flush = timers.createTimer();
    m_flush->setInterval(kComplaintPeriod);
    m_flush->setTickHandler([this] {
        flushOver(false);
        if (m_repeats.empty())
            m_flush->setEnabled(false);
    });
}

void Journal::write(QStringView who, QStringView what) {
    JournalEntry entry{++m_lastId, m_clock().toUTC(), {}, {}};
    appendShown(entry.who, who);
    appendShown(entry.what, what);
    QString line = entry.time.toString(Qt::ISODateWithMs);
    line += QLatin1Char('\t') + entry.who + QLatin1Char('\t') + entry.what + QLatin1Char('\n');
    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), m_output);
    std::fflush(m_output);
    toFile(bytes);
    if (m_recent.size() == kRecentEntries)
        m_recent.pop_front();
    m_recent.push_back(entry);
    // An observer may write itself: it gets its own copy.
    for (const auto& observer : m_observers)
        observer(entry);
}

void Journal::exchange(QStringView who, const Exchange& exchange) {
    QString what = QStringLiteral("TxD:") + exchange.sentTrace + QStringLiteral("\tRxD:") +
                   exchange.replyTrace;
    if (exchange.status)
        what += QStringLiteral("\tSTATUS:") + *exchange.status;
    if (exchange.kind != ReplyKind::Answered)
        what += QLatin1Char('\t') + outcomeWord(exchange.kind);
    write(who, what);
}

void Journal::complain(QStringView who, QStringView what, QStringView kind, QStringView source,
                       int burst) {
    flushOver(false);
    QString key = (source.isEmpty() ? who : source).toString() + QChar(u'\x1f') + kind.toString();
    if (!m_repeats.contains(key) && m_repeats.size() >= kComplaintKinds)
        key = QStringLiteral("\x1f") + QStringLiteral("complaints from further sources");
    auto [found, added] = m_repeats.try_emplace(key);
    Repeats& repeats = found->second;
    if (added) {
        repeats.since = m_clock();
        repeats.who = source.isEmpty() ? who.toString() : source.toString();
        repeats.kind = key.section(QChar(u'\x1f'), 1);
        if (m_flush && !m_flush->isEnabled())
            m_flush->setEnabled(true);
    }
    if (repeats.written < burst) {
        ++repeats.written;
        write(who, repeats.written == burst
                       ? what.toString() + QStringLiteral(" (more like this are counted for %1 s)")
                                               .arg(kComplaintPeriod.count())
                       : what.toString());
        return;
    }
    ++repeats.counted;
}

void Journal::flushComplaints() {
    flushOver(true);
}

void Journal::flushOver(bool all) {
    if (m_repeats.empty())
        return;
    const QDateTime now = m_clock();
    for (auto at = m_repeats.begin(); at != m_repeats.end();) {
        if (!all &&
            at->second.since.msecsTo(now) < std::chrono::milliseconds(kComplaintPeriod).count()) {
            ++at;
            continue;
        }
        writeCount(at->second);
        at = m_repeats.erase(at);
    }
}

void Journal::writeCount(const Repeats& repeats) {
    if (repeats.counted == 0)
        return;
    const qint64 seconds = std::max<qint64>(1, repeats.since.secsTo(m_clock()));
    write(repeats.who, QStringLiteral("%1 more of \"%2\" in the last %3 s, not written one by one")
                           .arg(repeats.counted)
                           .arg(repeats.kind)
                           .arg(seconds));
}

void Journal::toFile(const QByteArray& line) {
    if (!m_file.isOpen() || m_fileFailed)
        return;
    if (m_file.size() > 0 && m_file.size() + line.size() > m_rotateBytes)
        rotate();
    if (m_fileFailed || m_file.write(line) != line.size() || !m_file.flush()) {
        // Said once on standard output; the journal goes on there.
        m_fileFailed = true;
        write(u"journal", QStringLiteral("cannot write %1: %2; lines go to standard output only")
                              .arg(escapeControls(m_path), m_file.errorString()));
    }
}

void Journal::rotate() {
    const QString path = m_path;
    m_file.close();
    QFile::remove(path + QStringLiteral(".%1").arg(kJournalKept));
    for (int n = kJournalKept - 1; n >= 1; --n)
        QFile::rename(path + QStringLiteral(".%1").arg(n), path + QStringLiteral(".%1").arg(n + 1));
    QFile::rename(path, path + QStringLiteral(".1"));
    QString error;
    if (!openAt(path, error))
        m_fileFailed = true;
}

} // namespace kavo::service
