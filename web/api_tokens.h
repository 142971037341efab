#pragma once

// Tokens for scripts, sent as "Authorization: Bearer TOKEN": each belongs
// to an account and acts with its role until revoked. Only a hash of each is
// kept (the tokens are 256 random bits, so a fast hash is enough), in a file
// beside the accounts file, a line a token,
// NAME:ID:CREATED:LABEL:HASH, CREATED in ISO 8601's basic format (no ':'),
// LABEL percent-encoded and HASH BLAKE2b-256 in hex; written whole and
// atomically, readable by its owner only.

#include <cstddef>
#include <optional>
#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QString>
#include <utility>
#include <vector>

namespace kavo::web {

inline constexpr std::size_t kMostTokensPerAccount = 32;
inline constexpr qsizetype kLongestTokenLabel = 64;

struct ApiToken {
    QString name;
    QString id; // 8 hex characters, shown in lists and used to revoke
    QDateTime created;
    QString label;
    QByteArray hash; // of the token text, in hex
};

// Where the tokens of an accounts file are kept: USERS_FILE.tokens.
QString tokensPathOf(const QString& accountsPath);

class ApiTokens {
  public:
    // The tokens in the file, none when it is not there; an error names the line.
    static std::optional<ApiTokens> load(const QString& path, QString& error);
    // Writes every token atomically, mode 0600. Empty, or why not.
    QString save(const QString& path) const;

    // A new token for the account: its text, shown once ("kavo_" and 64 hex
    // characters), and its entry. nullopt with the reason in `error` for a
    // name that is no account's name, a label that is not 1 to 64
    // printable characters, or an account that has all its tokens already.
    std::optional<std::pair<QByteArray, ApiToken>> create(const QString& name, const QString& label,
                                                          const QDateTime& now, QString& error);
    // The entry of a token text (compared in constant time); nullptr if none.
    const ApiToken* find(QByteArrayView token) const;
    bool revoke(const QString& name, const QString& id);
    void removeAllOf(const QString& name);
    std::vector<const ApiToken*> of(const QString& name) const;

  private:
    std::vector<ApiToken> m_tokens;
};

} // namespace kavo::web
