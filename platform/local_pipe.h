#pragma once

// Windows' named pipes as the projector-sharing service and its clients use
// them. Qt's QLocalServer opens its pipe either to its own account alone or
// to everyone, other PCs' users included, and lets anyone who may write to
// the pipe create another instance of it. The service's own server below
// refuses other PCs, takes the name with its first instance or not at all,
// and lets the chosen users read and write but never create an instance
// (which would let them answer in the service's place). A client opens the
// pipe with just those rights and checks whose process serves it before it
// sends a byte. Windows only.

#include <memory>
#include <optional>
#include <QList>
#include <QObject>
#include <QString>

class QLocalSocket;

namespace kavo {

// BUILTIN\Users: everyone who can log on to this PC.
inline constexpr char kPcUsersSid[] = "S-1-5-32-545";

// An account or group as Windows knows it (Users, LECTERN\AV staff,
// BUILTIN\Administrators) or a SID string (S-1-5-32-545): its SID string,
// or nothing and `problem` says why.
std::optional<QString> accountSid(const QString& account, QString* problem);
// DOMAIN\NAME of a SID string, or the SID string where no name is known.
QString accountName(const QString& sid);
// The SID string of the account this process runs as; empty if unknown.
QString processUserSid();

struct ProcessAccount {
    QString sid;
    QString name;               // DOMAIN\NAME, or the SID where no name is known
    bool administrator = false; // Administrators is an enabled group of its token
};
// Nothing when the process or its token cannot be opened.
std::optional<ProcessAccount> processAccount(qint64 pid);

// The pipe's security descriptor in SDDL: LocalSystem, Administrators and
// `serviceSid` full control; `usersSid` reading and writing, without the
// right to create instances.
QString pipeSecurity(const QString& usersSid, const QString& serviceSid);

// Whether a pipe served by `serverSid` may be trusted with the projector's
// commands: a service account, an administrator, or the client itself.
bool trustedPipeServer(const QString& serverSid, bool administrator, const QString& ownSid);

struct PipeOpening {
    enum Outcome { Open, Busy, Missing, Denied, Untrusted, Failed };
    Outcome outcome = Failed;
    qintptr handle = -1; // Open: for QLocalSocket::setSocketDescriptor
    QString problem;     // Untrusted and Failed: why
};
// Opens \\.\pipe\NAME for reading and writing, overlapped, and checks
// whose process serves it (trustedPipeServer); `shown` names it in problems.
PipeOpening openPipe(const QString& fullName, const QString& shown);

class LocalPipeServer final : public QObject {
    Q_OBJECT
  public:
    explicit LocalPipeServer(QObject* parent = nullptr);
    ~LocalPipeServer() override;

    // Before listen(): whom the pipe is open to besides the administrators.
    void setUsersSid(const QString& sid) { m_usersSid = sid; }
    QString usersSid() const { return m_usersSid; }
    void setMaxPendingConnections(int count) { m_maxPending = count; }
    // NAME or \\.\pipe\NAME. False, and errorString() says why, when the
    // name is served by another program already.
    bool listen(const QString& name);
    // Every instance goes, the one waiting for a client as well; connections
    // already taken stay.
    void close();
    bool isListening() const { return m_listening; }
    QString fullServerName() const { return m_fullName; }
    QString errorString() const { return m_error; }
    bool hasPendingConnections() const { return !m_ready.isEmpty(); }
    // A connected client, owned by the caller from now; nullptr when none.
    QLocalSocket* nextPendingConnection();

  signals:
    void newConnection();

  private:
    // The first instance takes the name or fails; false: GetLastError() says why.
    bool createInstance(bool first);
    // Creates instances and waits on one until a client has to wait.
    void waitForClient();
    void clientArrived();
    void handOver();
    void dropInstance();

    // The system's objects: the security descriptor, the instance waiting
    // for a client and what its connect needs (kept out of this header so
    // that its users need not include windows.h).
    struct Instance;

    QString m_usersSid = QString::fromLatin1(kPcUsersSid);
    QString m_fullName;
    QString m_error;
    int m_maxPending = 30;
    bool m_listening = false;
    std::unique_ptr<Instance> m_instance;
    QList<QLocalSocket*> m_ready;
};

} // namespace kavo
