#pragma once

// The simulator's line as a network serial server in raw mode: it listens on
// one address and serves one client at a time. While a client is connected it
// stops listening, so that a second one is refused; when the client leaves or
// is hung up on, it listens again on the same port.

#include "sim_line.h"

#include <memory>
#include <QHostAddress>
#include <QTcpServer>

class QTcpSocket;

namespace kavo::sim {

class TcpLine final : public SimLine {
  public:
    TcpLine();
    ~TcpLine() override;

    // Port 0 takes any free port; port() then tells which.
    bool listen(const QHostAddress& address, quint16 port, QString* error);
    quint16 port() const { return m_port; }
    // socket://ADDRESS:PORT, as a port folder entry names this server.
    QString name() const;

    void start(Handlers handlers) override;
    bool isConnected() const override { return m_client != nullptr; }
    qsizetype send(const QByteArray& bytes) override;
    void hangUp() override;

  private:
    void accept();
    void drop(const QString& why);

    QTcpServer m_server;
    std::unique_ptr<QTcpSocket> m_client;
    QHostAddress m_address;
    quint16 m_port = 0;
    Handlers m_handlers;
};

} // namespace kavo::sim
