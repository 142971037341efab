#include "service_lines.h"

#include <QJsonDocument>

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

QByteArray serviceRequest(const QString& name) {
    return kServiceLineStart + name.toLatin1() + '\r';
}

QByteArray serviceAnswer(const QJsonObject& answer) {
    return kServiceLineStart + QJsonDocument(answer).toJson(QJsonDocument::Compact) + '\n';
}

std::optional<QJsonObject> takeServiceAnswer(const QByteArray& bytes, bool& complete) {
    const qsizetype end = bytes.indexOf('\n');
    complete = end >= 0 || bytes.size() > kLongestServiceAnswer ||
               (!bytes.isEmpty() && bytes[0] != kServiceLineStart);
    if (end < 0 || bytes[0] != kServiceLineStart)
        return std::nullopt;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes.mid(1, end - 1), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

} // namespace kavo
