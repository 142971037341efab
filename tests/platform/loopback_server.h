#pragma once

// A network serial server for tests of the TCP port, on loopback: it listens
// on a free port of 127.0.0.1, takes one client and lets the test talk on its
// side. hangUp drops the client and stops listening, so that connecting is
// refused until listenAgain, as with a server that was switched off.

#include <chrono>
#include <memory>
#include <QByteArray>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>

namespace kavo::test {

class LoopbackServer {
  public:
    LoopbackServer();
    ~LoopbackServer();

    bool isListening() const { return m_server.isListening(); }
    quint16 port() const { return m_port; }
    // socket://127.0.0.1:<port>
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
    QTcpServer m_server;
    std::unique_ptr<QTcpSocket> m_client;
    QByteArray m_received;
    quint16 m_port = 0;
};

// Writes <folder>/COM<number> as a text file holding `content`.
bool writeEntry(const QString& folder, int number, const QByteArray& content);

} // namespace kavo::test
