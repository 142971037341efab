#pragma once

// The kavoctl program as a class: it reads the panel's stored port and speed
// (never writes them), opens the port through the port factory (or, with
// --broker, reaches the building through the MQTT link factory) and runs one
// subcommand on the event loop, writing results to `out` and diagnostics to
// `err`. main only supplies the Qt services and the standard streams.

#include "building.h"
#include "command_text.h"
#include "exchanger.h"
#include "group_request.h"
#include "managed_power.h"
#include "mqtt_link.h"
#include "options.h"
#include "port_factory.h"
#include "projector_state.h"
#include "settings_store.h"
#include "timer.h"

#include <functional>
#include <memory>
#include <QElapsedTimer>
#include <QIODevice>
#include <QJsonArray>
#include <QJsonObject>
#include <QTextStream>

namespace kavo::cli {

struct CliPlatform {
    SettingsStore& store;
    PortFactory& ports;
    TimerFactory& timers;
    MqttLinkFactory mqtt = {}; // empty: built without --broker
};

class Kavoctl {
  public:
    using Finished = std::function<void(int exitStatus)>;

    Kavoctl(CliPlatform platform, QTextStream& out, QTextStream& err, QIODevice& input);
    ~Kavoctl();

    // arguments[0] is the program name. `finished` is called once, possibly
    // before start returns.
    void start(const QStringList& arguments, Finished finished);

  private:
    struct Read {
        QString caption; // the panel button's, e.g. "LAMP-TIME"
        QString command;
    };

    bool openPort(const Invocation& invocation);
    void listEntries(const QStringList& words);
    void listPorts();
    void nextCommand();
    void nextRead();
    void managedPower();
    void askService(const QString& request);
    void askBroker();
    void reportBuilding();
    void sendToBuilding(const std::vector<BuildingProjector>& chosen);
    void takeGroupReply(const QByteArray& payload, const MqttRequest& reply);
    bool groupSettled() const;
    void reportGroup();
    bool finishedWith(const QJsonObject& answer, const char* key, const QString& unknown);
    void printAlerts(const QJsonObject& answer);
    void printSchedule(const QJsonObject& answer);
    void startExchanges();
    bool closedAtOnce(const Exchange& exchange);
    void report(const Exchange& exchange);
    void complain(const QString& text);
    void print(const QString& line);
    void write(const QString& text);
    void finish(int exitStatus);

    CliPlatform m_platform;
    QTextStream& m_out;
    QTextStream& m_err;
    QIODevice& m_input;
    Finished m_finished;
    Invocation m_invocation;
    std::unique_ptr<SerialPort> m_port;
    std::unique_ptr<Exchanger> m_exchanger;
    std::unique_ptr<ManagedPower> m_power;
    QJsonObject m_jsonOutcome;     // power --wait: whether and where it got
    bool m_throughService = false; // the port is a sharing service's socket
    bool m_fromService = false;    // status came from the service's state
    std::unique_ptr<Timer> m_answerWait;
    QByteArray m_answer;
    std::unique_ptr<CommandSource> m_commands;
    std::vector<Read> m_reads;
    std::size_t m_nextRead = 0;
    QJsonArray m_jsonExchanges;
    QJsonObject m_jsonReads;
    ProjectorState m_state;
    bool m_noReply = false;
    bool m_badReply = false;
    bool m_outputFailure = false;
    QString m_portName; // COM<n> or the device, as messages name it
    QElapsedTimer m_sinceOpen;
    std::unique_ptr<MqttLink> m_broker;
    std::unique_ptr<Building> m_building;
    std::unique_ptr<Timer> m_brokerQuiet;
    std::unique_ptr<Timer> m_brokerLongest;
    bool m_brokerAnswered = false;
    // A verb across the building: the request as sent, its answers, and
    // the projectors not asked because their services are offline.
    MqttRequest m_request;
    std::unique_ptr<GroupTally> m_tally;
    QStringList m_offline;
    std::unique_ptr<Timer> m_answerLimit;
    std::unique_ptr<Timer> m_resultLimit;
    std::unique_ptr<Timer> m_settled; // the last answer came: report once out of its callback
    bool m_answerTimeUp = false;
    bool m_firstExchange = true;
};

} // namespace kavo::cli
