#pragma once

// A pseudo-terminal pair for tests of the real serial port: the slave is
// linked into a temporary port folder as COM<n>, the test talks on the master.

#include <chrono>
#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

struct termios;

namespace kavo::test {

class PtyPair {
  public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool isValid() const { return m_master >= 0; }
    QString slavePath() const { return m_slavePath; }
    // Links the slave as <folder>/COM<number>.
    bool linkAs(const QString& folder, int number) const;
    void write(const QByteArray& bytes) const;
    // Reads what the port wrote, waiting up to timeout for at least `count` bytes
    // while the Qt event loop keeps running.
    QByteArray read(int count, std::chrono::milliseconds timeout) const;
    // Output speed of the slave's line settings (e.g. 19200), or -1.
    int slaveSpeed() const;
    // The slave's line settings as "19200,N,8,1", with ",RTS/CTS" or
    // ",XON/XOFF" behind when flow control is on; empty when unreadable. A
    // pseudo-terminal always keeps 8 data bits without parity, whatever it is
    // given: only the speed, the stop bits and flow control tell here.
    QString slaveLine() const;
    // Bytes written on the master that the port has not read yet, or -1.
    int slavePending() const;
    void closeMaster();

  private:
    bool slaveSettings(termios& settings) const;

    int m_master = -1;
    QString m_slavePath;
};

// The one way tests make a port folder entry COM<number>: a link to the
// device named by `text`, or a file holding `text` (socket://HOST:PORT ...).
// Whatever stood there before is replaced.
enum class PortEntryKind { Link, File };
bool makePortEntry(const QString& folder, int number, PortEntryKind kind, const QByteArray& text);

// Points the per-user config location at a fresh temporary folder.
class TempConfigHome {
  public:
    TempConfigHome();
    QString path() const { return m_dir.path(); }
    QString portFolder() const { return m_dir.path() + QStringLiteral("/KAVO/ports"); }

  private:
    QTemporaryDir m_dir;
};

} // namespace kavo::test
