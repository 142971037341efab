#include "accounts.h"

#include "port_paths.h"
#include "safe_files.h"

#include <array>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <sodium.h>

namespace kavo::service {
namespace {

constexpr qsizetype kLongestPassword = 1024;
constexpr qsizetype kLongestLine = crypto_pwhash_STRBYTES + 128;

struct RoleName {
    Role role;
    const char* word;
};
constexpr std::array kRoles{RoleName{Role::Viewer, "viewer"}, RoleName{Role::Operator, "operator"},
                            RoleName{Role::Admin, "admin"}};

bool sodiumReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

} // namespace

QString roleWord(Role role) {
    for (const RoleName& name : kRoles) {
        if (name.role == role)
            return QString::fromLatin1(name.word);
    }
    return {};
}

std::optional<Role> roleOf(QStringView word) {
    for (const RoleName& name : kRoles) {
        if (word == QLatin1String(name.word))
            return name.role;
    }
    return std::nullopt;
}

bool isAccountName(QStringView name) {
    static const QRegularExpression plain(QStringLiteral("\\A[A-Za-z0-9._-]{1,64}\\z"));
    return plain.match(name.toString()).hasMatch();
}

std::optional<Accounts> Accounts::load(const QString& path, bool missingIsEmpty, QString& error) {
    Accounts accounts;
    QFile file(path);
    if (!QFileInfo::exists(path) && missingIsEmpty)
        return accounts;
    if (!openToRead(file, QStringLiteral("accounts"), error))
        return std::nullopt;
    int number = 0;
    while (!file.atEnd()) {
        ++number;
        QByteArray line = file.readLine(kLongestLine + 2);
        if (line.size() > kLongestLine && !line.endsWith('\n')) {
            error = QStringLiteral("%1, line %2: longer than an account's line")
                        .arg(escapeControls(path))
                        .arg(number);
            return std::nullopt;
        }
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> fields = line.split(':');
        // The hash holds no ':' of its own: $argon2id$v=19$m=...,t=...,p=...$salt$hash.
        const QString name = fields.size() == 3 ? QString::fromUtf8(fields[0]) : QString();
        const std::optional<Role> role =
            fields.size() == 3 ? roleOf(QString::fromLatin1(fields[1])) : std::nullopt;
        QString wrong;
        if (fields.size() != 3)
            wrong = QStringLiteral("not NAME:ROLE:HASH");
        else if (!isAccountName(name))
            wrong = QStringLiteral("the name is not 1 to 64 letters, digits, ., - and _");
        else if (!role)
            wrong = QStringLiteral("the role is not viewer, operator or admin");
        else if (!fields[2].startsWith("$argon2id$") || fields[2].size() >= crypto_pwhash_STRBYTES)
            wrong = QStringLiteral("the hash is not an argon2id hash in the PHC string format");
        else if (accounts.find(name))
            wrong = QStringLiteral("%1 is there twice").arg(name);
        if (!wrong.isEmpty()) {
            error =
                QStringLiteral("%1, line %2: %3").arg(escapeControls(path)).arg(number).arg(wrong);
            return std::nullopt;
        }
        accounts.m_accounts.push_back({name, *role, fields[2]});
    }
    return accounts;
}

QString Accounts::save(const QString& path) const {
    QByteArray content;
    for (const Account& account : m_accounts)
        content += account.name.toUtf8() + ':' + roleWord(account.role).toLatin1() + ':' +
                   account.hash + '\n';
    return writeSecretFile(path, content);
}

QString Accounts::set(const QString& name, Role role, const QByteArray& password) {
    if (!isAccountName(name))
        return QStringLiteral("an account's name is 1 to 64 letters, digits, ., - and _");
    if (password.isEmpty() || password.size() > kLongestPassword)
        return QStringLiteral("a password is 1 to %1 bytes").arg(kLongestPassword);
    if (!sodiumReady())
        return QStringLiteral("the password hashing library cannot be used");
    std::array<char, crypto_pwhash_STRBYTES> hash{};
    if (crypto_pwhash_str(
            hash.data(), password.constData(), static_cast<unsigned long long>(password.size()),
            crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        return QStringLiteral("not enough memory to hash the password");
    Account account{name, role, QByteArray(hash.data())};
    sodium_memzero(hash.data(), hash.size());
    if (auto existing = std::ranges::find(m_accounts, name, &Account::name);
        existing != m_accounts.end())
        *existing = std::move(account);
    else
        m_accounts.push_back(std::move(account));
    return {};
}

QString Accounts::setRole(const QString& name, Role role) {
    const auto found = std::ranges::find(m_accounts, name, &Account::name);
    if (found == m_accounts.end())
        return QStringLiteral("%1 has no account").arg(name);
    found->role = role;
    return {};
}

bool Accounts::remove(const QString& name) {
    return std::erase_if(m_accounts, [&](const Account& account) { return account.name == name; }) >
           0;
}

const Account* Accounts::find(const QString& name) const {
    const auto found = std::ranges::find(m_accounts, name, &Account::name);
    return found == m_accounts.end() ? nullptr : &*found;
}

bool Accounts::verify(const QString& name, const QByteArray& password) const {
    if (!sodiumReady() || password.size() > kLongestPassword)
        return false;
    const Account* account = find(name);
    if (!account) {
        // As long as for a real account: the time tells no one which names exist.
        static const QByteArray stand = [] {
            std::array<char, crypto_pwhash_STRBYTES> hash{};
            if (crypto_pwhash_str(hash.data(), "-", 1, crypto_pwhash_OPSLIMIT_INTERACTIVE,
                                  crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
                return QByteArray();
            return QByteArray(hash.data());
        }();
        if (!stand.isEmpty()) [[maybe_unused]]
            const int spent =
                crypto_pwhash_str_verify(stand.constData(), password.constData(),
                                         static_cast<unsigned long long>(password.size()));
        return false;
    }
    return crypto_pwhash_str_verify(account->hash.constData(), password.constData(),
                                    static_cast<unsigned long long>(password.size())) == 0;
}

} // namespace kavo::service
