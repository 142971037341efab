#pragma once

// The accounts of the service's web page: a name, a role and a password's
// hash each, kept in one file, a line an account, NAME:ROLE:HASH, the hash
// in the PHC string format (argon2id, made and checked by libsodium). The
// file is written whole and atomically, readable by its owner only.

#include <optional>
#include <QByteArray>
#include <QString>
#include <vector>

namespace kavo::service {

enum class Role {
    Viewer,   // status and journal
    Operator, // also every control, the panel and the console
    Admin,    // also the accounts
};
QString roleWord(Role role);
std::optional<Role> roleOf(QStringView word);

// 1 to 64 letters, digits, '.', '-' and '_': names appear in journal lines.
bool isAccountName(QStringView name);

struct Account {
    QString name;
    Role role = Role::Viewer;
    QByteArray hash;
};

class Accounts {
  public:
    // The accounts in the file; an error names the line. A file that is not
    // there holds no accounts when `missingIsEmpty` (to add the first one).
    static std::optional<Accounts> load(const QString& path, bool missingIsEmpty, QString& error);
    // Writes every account, atomically, mode 0600. Empty, or why not.
    QString save(const QString& path) const;

    // Adds an account, or gives an existing one this role and password.
    // Empty, or why not (a bad name, an empty password).
    QString set(const QString& name, Role role, const QByteArray& password);
    // Gives an existing account another role; empty, or why not.
    QString setRole(const QString& name, Role role);
    bool remove(const QString& name);
    const Account* find(const QString& name) const;
    // Whether the password is the account's; false for no such account.
    bool verify(const QString& name, const QByteArray& password) const;
    const std::vector<Account>& all() const { return m_accounts; }

  private:
    std::vector<Account> m_accounts;
};

} // namespace kavo::service
