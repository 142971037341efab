#include "api_tokens.h"

#include "accounts.h"
#include "port_paths.h"
#include "safe_files.h"
#include "secret_bits.h"

#include <algorithm>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace kavo::web {
namespace {

constexpr std::size_t kTokenBytes = 32;
constexpr std::size_t kIdBytes = 4;
const QByteArray kTokenPrefix = QByteArrayLiteral("kavo_");
const QString kCreatedFormat = QStringLiteral("yyyyMMdd'T'HHmmss'Z'");
// A name, an id, a time, a label of 64 characters percent-encoded and a hash.
constexpr qsizetype kLongestLine = 64 + 8 + 16 + kLongestTokenLabel * 4 * 3 + 64 + 8;

QByteArray hashHex(QByteArrayView token) {
    return secretHash(token).toHex();
}

bool isLabel(const QString& label) {
    const QList<uint> characters = label.toUcs4();
    return !characters.isEmpty() && characters.size() <= kLongestTokenLabel &&
           std::ranges::all_of(characters, [](uint c) { return QChar::isPrint(char32_t(c)); });
}

bool isHex(QByteArrayView text, qsizetype length) {
    static const QRegularExpression hex(QStringLiteral("\\A[0-9a-f]*\\z"));
    return text.size() == length && hex.match(QString::fromLatin1(text)).hasMatch();
}

} // namespace

QString tokensPathOf(const QString& accountsPath) {
    return accountsPath + QStringLiteral(".tokens");
}

std::optional<ApiTokens> ApiTokens::load(const QString& path, QString& error) {
    ApiTokens tokens;
    if (!QFileInfo::exists(path))
        return tokens;
    QFile file(path);
    if (!service::openToRead(file, QStringLiteral("tokens"), error))
        return std::nullopt;
    int number = 0;
    while (!file.atEnd()) {
        ++number;
        QByteArray line = file.readLine(kLongestLine + 2);
        const bool tooLong = line.size() > kLongestLine && !line.endsWith('\n');
        line = line.trimmed();
        if (!tooLong && (line.isEmpty() || line.startsWith('#')))
            continue;
        const QList<QByteArray> fields = line.split(':');
        ApiToken token;
        if (fields.size() == 5) {
            token = {QString::fromUtf8(fields[0]), QString::fromLatin1(fields[1]),
                     QDateTime::fromString(QString::fromLatin1(fields[2]), kCreatedFormat),
                     QString::fromUtf8(QByteArray::fromPercentEncoding(fields[3])), fields[4]};
            token.created.setTimeSpec(Qt::UTC);
        }
        QString wrong;
        if (tooLong)
            wrong = QStringLiteral("longer than a token's line");
        else if (fields.size() != 5)
            wrong = QStringLiteral("not NAME:ID:CREATED:LABEL:HASH");
        else if (!service::isAccountName(token.name))
            wrong = QStringLiteral("the name is not 1 to 64 letters, digits, ., - and _");
        else if (!isHex(fields[1], 2 * kIdBytes))
            wrong = QStringLiteral("the id is not 8 hex digits");
        else if (!token.created.isValid())
            wrong = QStringLiteral("the time is not like 20260131T235959Z");
        else if (!isLabel(token.label))
            wrong = QStringLiteral("the label is not 1 to 64 printable characters");
        else if (!isHex(token.hash, 2 * qsizetype(kTokenBytes)))
            wrong = QStringLiteral("the hash is not 64 hex digits");
        else if (std::ranges::find(tokens.m_tokens, token.id, &ApiToken::id) !=
                 tokens.m_tokens.end())
            wrong = QStringLiteral("the id %1 is there twice").arg(token.id);
        else if (tokens.of(token.name).size() >= kMostTokensPerAccount)
            wrong = QStringLiteral("more than %1 tokens for %2")
                        .arg(kMostTokensPerAccount)
                        .arg(token.name);
        if (!wrong.isEmpty()) {
            error =
                QStringLiteral("%1, line %2: %3").arg(escapeControls(path)).arg(number).arg(wrong);
            return std::nullopt;
        }
        tokens.m_tokens.push_back(std::move(token));
    }
    return tokens;
}

QString ApiTokens::save(const QString& path) const {
    QByteArray content;
    for (const ApiToken& token : m_tokens)
        content += token.name.toUtf8() + ':' + token.id.toLatin1() + ':' +
                   token.created.toUTC().toString(kCreatedFormat).toLatin1() + ':' +
                   token.label.toUtf8().toPercentEncoding() + ':' + token.hash + '\n';
    return service::writeSecretFile(path, content);
}

std::optional<std::pair<QByteArray, ApiToken>>
ApiTokens::create(const QString& name, const QString& label, const QDateTime& now, QString& error) {
    error.clear();
    if (!service::isAccountName(name))
        error = QStringLiteral("an account's name is 1 to 64 letters, digits, ., - and _");
    else if (!isLabel(label))
        error = QStringLiteral("a token's label is 1 to %1 printable characters")
                    .arg(kLongestTokenLabel);
    else if (of(name).size() >= kMostTokensPerAccount)
        error = QStringLiteral("%1 has %2 tokens already, as many as an account can have; revoke "
                               "one first")
                    .arg(name)
                    .arg(kMostTokensPerAccount);
    if (!error.isEmpty())
        return std::nullopt;
    QString id;
    do
        id = QString::fromLatin1(randomHex(kIdBytes));
    while (std::ranges::find(m_tokens, id, &ApiToken::id) != m_tokens.end());
    QByteArray text = kTokenPrefix + randomHex(kTokenBytes);
    // Whole seconds, as the file keeps them.
    QDateTime created = now.toUTC();
    created.setTime(QTime(created.time().hour(), created.time().minute(), created.time().second()));
    ApiToken token{name, id, created, label, hashHex(text)};
    m_tokens.push_back(token);
    return std::pair{std::move(text), std::move(token)};
}

const ApiToken* ApiTokens::find(QByteArrayView token) const {
    if (token.size() != kTokenPrefix.size() + 2 * qsizetype(kTokenBytes))
        return nullptr;
    // Every entry's hash is compared, so the time spent says nothing of which.
    const QByteArray hash = hashHex(token);
    const ApiToken* found = nullptr;
    for (const ApiToken& entry : m_tokens) {
        if (sameSecret(entry.hash, hash))
            found = &entry;
    }
    return found;
}

bool ApiTokens::revoke(const QString& name, const QString& id) {
    return std::erase_if(m_tokens, [&](const ApiToken& token) {
               return token.name == name && token.id == id;
           }) > 0;
}

void ApiTokens::removeAllOf(const QString& name) {
    std::erase_if(m_tokens, [&](const ApiToken& token) { return token.name == name; });
}

std::vector<const ApiToken*> ApiTokens::of(const QString& name) const {
    std::vector<const ApiToken*> tokens;
    for (const ApiToken& token : m_tokens) {
        if (token.name == name)
            tokens.push_back(&token);
    }
    return tokens;
}

} // namespace kavo::web
