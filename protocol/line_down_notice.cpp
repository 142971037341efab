#include "line_down_notice.h"

namespace kavo {
namespace {

const QByteArray kPrefix = QByteArrayLiteral("\x15line down since ");

} // namespace

QByteArray lineDownNotice(const QDateTime& since, const QString& reason) {
    QByteArray notice = kPrefix + since.toUTC().toString(Qt::ISODate).toLatin1() + ": ";
    for (const QChar c : reason)
        notice += c.unicode() >= 0x20 && c.unicode() < 0x7f ? char(c.unicode()) : '?';
    notice.truncate(kLongestLineDownNotice - 1);
    return notice + '\n';
}

NoticeMatch matchLineDownNotice(const QByteArray& bytes) {
    const qsizetype common = std::min(bytes.size(), kPrefix.size());
    if (bytes.left(common) != kPrefix.left(common))
        return NoticeMatch::None;
    const qsizetype end = bytes.indexOf('\n');
    if (end < 0)
        return bytes.size() < kLongestLineDownNotice ? NoticeMatch::Partial : NoticeMatch::None;
    return end >= kPrefix.size() && end < kLongestLineDownNotice ? NoticeMatch::Whole
                                                                 : NoticeMatch::None;
}

std::optional<QString> lineDownText(const QByteArray& bytes) {
    if (matchLineDownNotice(bytes) != NoticeMatch::Whole)
        return std::nullopt;
    const QByteArray rest = bytes.mid(kPrefix.size(), bytes.indexOf('\n') - kPrefix.size());
    const qsizetype colon = rest.indexOf(": ");
    const QDateTime since =
        QDateTime::fromString(QString::fromLatin1(rest.left(colon)), Qt::ISODate);
    if (colon < 0 || !since.isValid())
        return std::nullopt;
    return QStringLiteral("the service's line to the projector is down since %1: %2")
        .arg(since.toLocalTime().toString(QStringLiteral("HH:mm:ss")),
             QString::fromLatin1(rest.mid(colon + 2)));
}

} // namespace kavo
