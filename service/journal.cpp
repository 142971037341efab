#include "journal.h"

#include "exchange_report.h"
#include "port_paths.h"

namespace kavo::service {

Journal::Journal(std::FILE* output, Clock clock) : m_output(output), m_clock(std::move(clock)) {}

QString Journal::openFile(const QString& path, qint64 rotateBytes) {
    m_rotateBytes = rotateBytes;
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append))
        return QStringLiteral("cannot open the journal file %1: %2")
            .arg(escapeControls(path), m_file.errorString());
    return {};
}

void Journal::write(QStringView who, QStringView what) {
    QString line = m_clock().toUTC().toString(Qt::ISODateWithMs);
    line += QLatin1Char('\t');
    line += who;
    line += QLatin1Char('\t');
    // One event, one line, whatever a client or the line sent.
    for (const QChar c : what)
        line += (c == u'\n' || c == u'\r') ? QChar(u' ') : c;
    line += QLatin1Char('\n');
    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), m_output);
    std::fflush(m_output);
    toFile(bytes);
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

void Journal::toFile(const QByteArray& line) {
    if (!m_file.isOpen() || m_fileFailed)
        return;
    if (m_file.size() > 0 && m_file.size() + line.size() > m_rotateBytes)
        rotate();
    if (m_file.write(line) != line.size() || !m_file.flush()) {
        // Said once on standard output; the journal goes on there.
        m_fileFailed = true;
        write(u"journal", QStringLiteral("cannot write %1: %2; lines go to standard output only")
                              .arg(escapeControls(m_file.fileName()), m_file.errorString()));
    }
}

void Journal::rotate() {
    const QString path = m_file.fileName();
    m_file.close();
    QFile::remove(path + QStringLiteral(".%1").arg(kJournalKept));
    for (int n = kJournalKept - 1; n >= 1; --n)
        QFile::rename(path + QStringLiteral(".%1").arg(n), path + QStringLiteral(".%1").arg(n + 1));
    QFile::rename(path, path + QStringLiteral(".1"));
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append))
        m_fileFailed = true;
}

} // namespace kavo::service
