#pragma once

// A network serial server on a free port of 127.0.0.1, or a service on a socket
// in a temporary folder, for tests of the ports on a connection: it takes one
// client and lets the test talk on its side. hangUp drops the client and stops
// listening, so that connecting fails until listenAgain, as when switched off.

#include <chrono>
#include <memory>
#include <QByteArray>
#include <QLocalServer>
#include <QLocalSocket>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

namespace kavo::test {

class LoopbackServer {
  public:
    explicit LoopbackServer(bool local = false);
    ~LoopbackServer();

    quint16 port() const { return m_port; }
    QString socketPath() const { return m_folder.filePath(QStringLiteral("kavo.sock")); }
    // socket://127.0.0.1:<port>, or unix:<socketPath>
    QString name() const;
    // Writes <folder>/COM<number> holding name() and a line end.
    bool linkAs(const QString& folder, int number) const;

    // True once a client is connected, waiting up to timeout for one.
    bool waitForClient(std::chrono::milliseconds timeout);
    bool hasClient() const;
    void write(const QByteArray& bytes);
    // What the client sent, waiting up to timeout for at least `count` bytes
    // while the Qt event loop keeps running.
    QByteArray read(int count, std::chrono::milliseconds timeout);
    void hangUp();
    bool listenAgain();

  private:
    void take(QIODevice* next);

    QTcpServer m_server;
    QLocalServer m_localServer;
    QTemporaryDir m_folder;
    bool m_local;
    std::unique_ptr<QIODevice> m_client;
    QByteArray m_received;
    quint16 m_port = 0;
};

// Writes <folder>/COM<number> as a text file holding `content`.
bool writeEntry(const QString& folder, int number, const QByteArray& content);

} // namespace kavo::test
