#pragma once

// The simulator's line as a network serial server in raw mode: it listens on
// one address for the whole run and serves one client at a time. A second
// client while one is connected is closed at once. The port stays bound
// throughout, so no other program can take it over between two clients.

#include "sim_line.h"

#include <functional>
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

    // Called once if the listening socket fails; nothing is accepted after.
    void setFailureHandler(std::function<void(const QString& why)> handler) {
        m_failed = std::move(handler);
    }

    void start(Handlers handlers) override;
    bool isConnected() const override { return m_client != nullptr; }
    qsizetype send(const QByteArray& bytes) override;
    void hangUp() override;

  private:
    void accept();
    bool clientStillThere() const;
    void drop(const QString& why);

    QTcpServer m_server;
    std::unique_ptr<QTcpSocket> m_client;
    QHostAddress m_address;
    quint16 m_port = 0;
    Handlers m_handlers;
    std::function<void(const QString&)> m_failed;
};

} // namespace kavo::sim
