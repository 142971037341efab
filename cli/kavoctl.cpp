#include "kavoctl.h"

#include "broker_address.h"
#include "button_map.h"
#include "cli_constants.h"
#include "exchange_report.h"
#include "line_settings.h"
#include "listing.h"
#include "port_paths.h"
#include "port_survey.h"
#include "projector_vocabulary.h"
#include "service_lines.h"
#include "status_decoders.h"
#include "status_summary.h"

#include <map>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSysInfo>

#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>
#endif

namespace kavo::cli {
namespace {

// A request's correlation: random, so that no one else's answers are taken
// for its own.
constexpr qsizetype kCorrelationBytes = 16;
// An answer is a name, an outcome word and a short detail.
constexpr qsizetype kLongestGroupReply = 4096;
constexpr std::chrono::milliseconds kReportAfterAnswer{1};

// The account kavoctl runs as, from the system rather than the environment.
QString localUser() {
#ifndef _WIN32
    if (const passwd* account = ::getpwuid(::geteuid()))
        return QString::fromLocal8Bit(account->pw_name);
#endif
    return qEnvironmentVariable("USERNAME");
}

} // namespace

Kavoctl::Kavoctl(CliPlatform platform, QTextStream& out, QTextStream& err, QIODevice& input)
    : m_platform(platform), m_out(out), m_err(err), m_input(input) {}

Kavoctl::~Kavoctl() = default;

void Kavoctl::start(const QStringList& arguments, Finished finished) {
    m_finished = std::move(finished);
    ParsedArguments parsed = parseArguments(arguments);
    if (!parsed.invocation) {
        if (parsed.exitCode == kExitOk) {
            write(parsed.text);
        } else {
            complain(parsed.text);
        }
        finish(parsed.exitCode);
        return;
    }
    m_invocation = *std::move(parsed.invocation);
    if (m_invocation.broker) {
        askBroker();
        return;
    }

    switch (m_invocation.subcommand) {
    case Subcommand::List:
        listEntries(m_invocation.arguments);
        finish(kExitOk);
        return;
    case Subcommand::Ports:
        listPorts();
        finish(kExitOk);
        return;
    case Subcommand::Send:
    case Subcommand::Act:
        m_commands = std::make_unique<CommandSource>(m_invocation.arguments, m_input);
        if (const QString error = m_commands->argumentError(); !error.isEmpty()) {
            complain(error);
            finish(kExitUsage);
            return;
        }
        break;
    case Subcommand::Alerts:
    case Subcommand::Schedule:
        break;
    case Subcommand::Status:
    case Subcommand::Lamp:
        for (const panel::ButtonEntry& button : panel::buttons()) {
            const QString command = QString::fromLatin1(button.command);
            const bool lamp = command == readCommand(StateField::LampHours) ||
                              command == readCommand(StateField::LampMode) ||
                              command == readCommand(StateField::LampStatus);
            if (isStatusRead(commandLine(command)) &&
                (lamp || m_invocation.subcommand == Subcommand::Status))
                m_reads.push_back({QString::fromLatin1(button.caption), command});
        }
        break;
    }
    if (!openPort(m_invocation)) {
        finish(kExitPort);
        return;
    }
    if (m_invocation.subcommand == Subcommand::Alerts) {
        if (!m_throughService) {
            complain(QStringLiteral("%1 is no kavo-projectord socket: alerts come from the service")
                         .arg(m_portName));
            finish(kExitPort);
            return;
        }
        askService(QStringLiteral("alerts"));
        return;
    }
    if (m_invocation.subcommand == Subcommand::Status && m_throughService) {
        askService(QStringLiteral("state"));
        return;
    }
    if (m_invocation.subcommand == Subcommand::Schedule) {
        if (!m_throughService) {
            complain(QStringLiteral("schedule asks a kavo-projectord: give its socket with "
                                    "--device unix:PATH"));
            finish(kExitUsage);
            return;
        }
        askService(QStringLiteral("schedule"));
        return;
    }
    startExchanges();
}

void Kavoctl::startExchanges() {
    m_exchanger = std::make_unique<Exchanger>(*m_port, m_platform.timers, m_invocation.replyWindow);
    if (m_invocation.powerWait)
        managedPower();
    else if (m_commands)
        nextCommand();
    else
        nextRead();
}

bool Kavoctl::openPort(const Invocation& invocation) {
    QString device = invocation.device;
    int number = 0;
    if (device.isEmpty()) {
        if (const QString problem = m_platform.store.readProblem(kStoreApplication);
            !invocation.port && !problem.isEmpty()) {
            complain(QStringLiteral("%1, so no port is stored; use --port N or --device PATH")
                         .arg(problem));
            return false;
        }
        number = invocation.port.value_or(storedPortNumber(m_platform.store.read(
            kStoreApplication, kStoreSection, kStoreComPort, kComPortDefault)));
        if (!isUsablePort(number)) {
            complain(QStringLiteral("no port given and none stored by the panel; "
                                    "use --port N or --device PATH"));
            return false;
        }
        device = portDevicePath(number);
    }
    const std::uint8_t baudCode = invocation.baudCode.value_or(storedBaudCode(
        m_platform.store.read(kStoreApplication, kStoreSection, kStoreBaudRate, kBaudRateDefault)));
    m_port = m_platform.ports.createPort(device);
    m_port->setSettings(settingsText(baudCode));
    if (number != 0)
        m_port->setPortNumber(number);
    m_throughService = resolvePortTarget(device).kind == PortTarget::Kind::Local;
    const OpenResult opened = m_port->open();
    m_portName = number != 0 ? QStringLiteral("COM%1").arg(number) : device;
    if (!opened) {
        // Network reasons begin with the address, which the line names already.
        QString reason = opened.reason;
        if (reason.startsWith(device + QLatin1String(": ")))
            reason.remove(0, device.size() + 2);
        complain(QStringLiteral("cannot open %1: %2").arg(m_portName, reason));
    }
    m_sinceOpen.start();
    return opened.ok;
}

void Kavoctl::listEntries(const QStringList& words) {
    for (const ListRow& row : matchingRows(words))
        print(formatRow(row));
}

void Kavoctl::listPorts() {
    const int stored = storedPortNumber(
        m_platform.store.read(kStoreApplication, kStoreSection, kStoreComPort, kComPortDefault));
    for (const QString& line : surveyPorts(m_platform.ports, stored))
        print(line);
}

void Kavoctl::nextCommand() {
    const CommandSource::Next next = m_commands->next();
    if (!next.error.isEmpty()) {
        complain(next.error);
        finish(kExitUsage);
        return;
    }
    if (next.command.isEmpty()) {
        finish(m_noReply ? kExitNoReply : m_badReply ? kExitBadReply : kExitOk);
        return;
    }
    m_exchanger->exchange(next.command, [this](const Exchange& exchange) {
        if (closedAtOnce(exchange))
            return;
        report(exchange);
        if (exchange.kind == ReplyKind::LineLost)
            finish(kExitNoReply);
        else
            nextCommand();
    });
}

void Kavoctl::nextRead() {
    if (m_nextRead == m_reads.size()) {
        finish(m_noReply ? kExitNoReply : m_badReply ? kExitBadReply : kExitOk);
        return;
    }
    m_exchanger->exchange(m_reads[m_nextRead].command, [this](const Exchange& exchange) {
        if (closedAtOnce(exchange))
            return;
        report(exchange);
        ++m_nextRead;
        if (exchange.kind == ReplyKind::LineLost)
            finish(kExitNoReply);
        else
            nextRead();
    });
}

// Through a sharing service, status is what the service knows, with each
// reading's age: no reads of its own. A service that does not answer the
// question within the reply window is read from as a line is. Alerts and
// the schedule only the service knows.
void Kavoctl::askService(const QString& request) {
    m_answerWait = m_platform.timers.createTimer();
    m_answerWait->setInterval(m_invocation.replyWindow);
    const bool serviceOnly = m_invocation.subcommand == Subcommand::Alerts ||
                             m_invocation.subcommand == Subcommand::Schedule;
    m_answerWait->setTickHandler([this, serviceOnly] {
        m_answerWait->setEnabled(false);
        if (!serviceOnly) {
            startExchanges();
            return;
        }
        complain(QStringLiteral("%1: the service did not answer").arg(m_portName));
        finish(kExitNoReply);
    });
    m_port->setEventHandler([this](CommEvent event) {
        if (event == CommEvent::LineLost) {
            m_answerWait->setEnabled(false);
            const QString reason = m_port->farEndReason();
            complain(QStringLiteral("cannot use %1: %2")
                         .arg(m_portName, reason.isEmpty()
                                              ? QStringLiteral("the service closed the connection")
                                              : reason));
            finish(kExitPort);
            return;
        }
        m_answer += m_port->readAll();
        bool complete = false;
        const std::optional<QJsonObject> answer = takeServiceAnswer(m_answer, complete);
        if (!complete)
            return;
        m_answerWait->setEnabled(false);
        if (m_invocation.subcommand == Subcommand::Alerts)
            return printAlerts(answer.value_or(QJsonObject()));
        if (m_invocation.subcommand == Subcommand::Schedule)
            return printSchedule(answer.value_or(QJsonObject()));
        const QJsonObject state =
            answer ? answer->value(QStringLiteral("state")).toObject() : QJsonObject();
        if (state.isEmpty()) {
            startExchanges();
            return;
        }
        m_fromService = true;
        if (m_invocation.json) {
            QJsonObject document{
                {QStringLiteral("state"), state},
                {QStringLiteral("summary"), statusSummaryJson(state)},
                {QStringLiteral("from"), answer->value(QStringLiteral("service"))}};
            print(QString::fromUtf8(QJsonDocument(document).toJson(QJsonDocument::Indented))
                      .trimmed());
        } else {
            const QDateTime now = QDateTime::fromString(
                answer->value(QStringLiteral("now")).toString(), Qt::ISODateWithMs);
            for (const QString& line :
                 statusSummary(state, now.isValid() ? std::optional(now) : std::nullopt))
                print(line);
        }
        finish(kExitOk);
    });
    m_port->write(serviceRequest(request));
    m_answerWait->setEnabled(true);
}

// list and status across the building: the broker's retained messages, taken
// until none came for a moment. A broker that cannot be reached or refuses
// the login ends it at once: a script learns that sooner than the link's
// next try.
void Kavoctl::askBroker() {
    const auto unreachable = [this](const QString& why) {
        complain(why);
        finish(kExitPort);
    };
    if (!m_platform.mqtt)
        return unreachable(QStringLiteral("this kavoctl was built without MQTT"));
    QString error;
    std::optional<MqttSettings> settings =
        mqttSettingsFor(*m_invocation.broker, m_invocation.brokerCa, error);
    if (!settings)
        return unreachable(error);
    if (!m_invocation.brokerPasswordFile.isEmpty()) {
        settings->password =
            readPasswordFile(m_invocation.brokerPasswordFile, QStringLiteral("broker"), error);
        if (settings->password.isEmpty())
            return unreachable(error);
    }
    settings->clientId = QStringLiteral("kavoctl-%1")
                             .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    m_building = std::make_unique<Building>(m_invocation.base);
    m_brokerQuiet = m_platform.timers.createTimer();
    m_brokerQuiet->setInterval(kBrokerQuiet);
    m_brokerQuiet->setTickHandler([this] { reportBuilding(); });
    m_brokerLongest = m_platform.timers.createTimer();
    m_brokerLongest->setInterval(kBrokerLongest);
    m_brokerLongest->setTickHandler([this, unreachable] {
        if (m_brokerAnswered)
            return reportBuilding();
        m_brokerLongest->setEnabled(false);
        unreachable(
            QStringLiteral("the MQTT broker at %1:%2 did not answer within %3 s")
                .arg(escapeControls(m_invocation.broker->host))
                .arg(m_invocation.broker->port)
                .arg(std::chrono::duration_cast<std::chrono::seconds>(kBrokerLongest).count()));
    });
    m_broker = m_platform.mqtt(*std::move(settings));
    MqttLink::Events events;
    events.connected = [this] {
        // Back after a loss while answers are awaited: only they are wanted.
        if (m_tally)
            return m_broker->subscribe(m_request.responseTopic);
        m_brokerAnswered = true;
        for (const QString& topic : m_building->topics())
            m_broker->subscribe(topic);
        m_brokerQuiet->setEnabled(true);
    };
    events.event = [this, unreachable](const QString& what) {
        if (m_brokerAnswered || m_broker->isConnected())
            return;
        // The link tries again by itself; kavoctl does not.
        unreachable(what.section(QStringLiteral("; trying again"), 0, 0));
    };
    events.message = [this](const QString& topic, const QByteArray& payload, bool,
                            const MqttRequest& request) {
        if (m_tally && topic == m_request.responseTopic)
            return takeGroupReply(payload, request);
        if (m_building->take(topic, payload) && m_brokerQuiet->isEnabled())
            m_brokerQuiet->setEnabled(true);
    };
    events.refused = [this](const QString& topic, const QByteArray& correlation,
                            const QString& why) {
        if (m_tally && correlation == m_request.correlation &&
            m_tally->take(brokerRefusal(m_invocation.base, topic, why)) && groupSettled())
            m_settled->setEnabled(true);
    };
    m_brokerLongest->setEnabled(true);
    m_broker->start(std::move(events));
}

// list: every projector; status: the ones named and the group's, in short
// when every one is online, else as a table with what is wrong on stderr.
void Kavoctl::reportBuilding() {
    if (!m_finished)
        return;
    const std::vector<BuildingProjector> all = m_building->projectors();
    const auto printJson = [this](const std::vector<BuildingProjector>& projectors,
                                  const QStringList& unknown) {
        QJsonArray array;
        for (const BuildingProjector& projector : projectors)
            array.append(buildingJson(projector));
        for (const QString& name : unknown)
            array.append(QJsonObject{{QStringLiteral("name"), name},
                                     {QStringLiteral("availability"), QStringLiteral("unknown")}});
        print(QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented)).trimmed());
    };
    if (m_invocation.subcommand == Subcommand::List) {
        if (m_invocation.json)
            printJson(all, {});
        else
            for (const QString& line : buildingTable(all))
                print(line);
        finish(kExitOk);
        return;
    }
    const auto [chosen, unknown, groupFound] =
        chooseProjectors(all, m_invocation.arguments, m_invocation.group);
    if (!groupFound)
        complain(
            QStringLiteral("no projector on the broker is in group %1").arg(m_invocation.group));
    for (const QString& name : unknown)
        complain(QStringLiteral("%1: not on the broker under %2/")
                     .arg(escapeControls(name), m_invocation.base));
    // A verb goes to nobody when a name is wrong: a typo never half-does a group.
    if (m_invocation.subcommand == Subcommand::Act) {
        if (groupFound && unknown.isEmpty())
            sendToBuilding(chosen);
        else
            finish(kExitNotOnBroker);
        return;
    }
    bool online = groupFound && unknown.isEmpty();
    for (const BuildingProjector& projector : chosen) {
        if (projector.availability == QLatin1String("online"))
            continue;
        online = false;
        complain(QStringLiteral("%1: %2").arg(escapeControls(projector.name),
                                              projector.availability.isEmpty()
                                                  ? QStringLiteral("its availability is not known")
                                                  : escapeControls(projector.availability)));
    }
    if (m_invocation.json) {
        printJson(chosen, unknown);
    } else if (online) {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        for (const BuildingProjector& projector : chosen)
            for (const QString& line : buildingStatus(projector, now))
                print(line);
    } else {
        for (const QString& line : buildingTable(chosen, unknown))
            print(line);
    }
    finish(online ? kExitOk : kExitNotOnBroker);
}

// A verb across the building: one request to each projector's service, all
// with the same correlation, answered on a topic of kavoctl's own, which is
// subscribed to first (the broker takes a connection's packets in order, so
// no answer comes before it). Offline services are not asked: a request kept
// for one would be done whenever it came back.
void Kavoctl::sendToBuilding(const std::vector<BuildingProjector>& chosen) {
    m_brokerQuiet->setEnabled(false);
    m_brokerLongest->setEnabled(false);
    QStringList names;
    for (const BuildingProjector& projector : chosen) {
        names << projector.name;
        if (projector.availability == QLatin1String("offline"))
            m_offline << projector.name;
    }
    const bool untilDone = m_invocation.powerWait.has_value();
    m_tally = std::make_unique<GroupTally>(names, untilDone);
    QByteArray correlation(kCorrelationBytes, Qt::Uninitialized);
    QRandomGenerator::system()->generate(correlation.begin(), correlation.end());
    m_request = {newResponseTopic(m_invocation.base, m_invocation.broker->user), correlation,
                 requesterName(localUser(), QSysInfo::machineHostName())};
    m_broker->subscribe(m_request.responseTopic);
    const BrokerAction message = brokerActionFor(*findAction(m_invocation.verb));
    for (const QString& name : names) {
        if (!m_offline.contains(name))
            m_broker->publish(m_invocation.base + QLatin1Char('/') + name + QLatin1Char('/') +
                                  message.leaf,
                              message.payload, m_request);
    }
    m_answerLimit = m_platform.timers.createTimer();
    m_answerLimit->setInterval(kAnswerWithin);
    m_answerLimit->setTickHandler([this] {
        m_answerLimit->setEnabled(false);
        m_answerTimeUp = true;
        if (groupSettled())
            reportGroup();
    });
    m_answerLimit->setEnabled(true);
    m_settled = m_platform.timers.createTimer();
    m_settled->setInterval(kReportAfterAnswer);
    m_settled->setTickHandler([this] { reportGroup(); });
    if (untilDone) {
        m_resultLimit = m_platform.timers.createTimer();
        m_resultLimit->setInterval(*m_invocation.powerWait);
        m_resultLimit->setTickHandler([this] { reportGroup(); });
        m_resultLimit->setEnabled(true);
    }
    if (groupSettled())
        reportGroup();
}

// An answer counts when it carries this request's correlation and comes in
// time: one that was not there by the answer limit stays "no answer". The
// last one is reported a moment later: ending inside the broker link's
// message callback would stop the link from within its own read.
void Kavoctl::takeGroupReply(const QByteArray& payload, const MqttRequest& reply) {
    if (reply.correlation != m_request.correlation || payload.size() > kLongestGroupReply)
        return;
    const std::optional<GroupReply> answer = parseGroupReply(payload);
    if (!answer || m_offline.contains(answer->name))
        return;
    const auto asked = m_tally->replies().find(answer->name);
    if (asked == m_tally->replies().end() ||
        (m_answerTimeUp && asked->second.outcome == GroupOutcome::NoAnswer))
        return;
    if (m_tally->take(*answer) && groupSettled())
        m_settled->setEnabled(true);
}

// Every projector has its part ended or given up: final, accepted when not
// waiting for the result, or silent past the answer limit or offline.
bool Kavoctl::groupSettled() const {
    const bool untilDone = m_invocation.powerWait.has_value();
    return std::ranges::all_of(m_tally->replies(), [&](const auto& entry) {
        const GroupReply& reply = entry.second;
        switch (reply.outcome) {
        case GroupOutcome::NoAnswer:
            return m_answerTimeUp || m_offline.contains(reply.name);
        case GroupOutcome::Accepted:
            return !untilDone;
        default:
            return true;
        }
    });
}

// Each projector's answer as a table (or JSON); anything short of full
// success is summed up on stderr.
void Kavoctl::reportGroup() {
    if (!m_finished)
        return;
    const bool untilDone = m_invocation.powerWait.has_value();
    std::vector<GroupReply> replies;
    std::map<GroupOutcome, int> notDone;
    for (const auto& [name, each] : m_tally->replies()) {
        GroupReply reply = each;
        if (reply.outcome == GroupOutcome::NoAnswer && m_offline.contains(name))
            reply.detail = QStringLiteral("offline");
        else if (reply.outcome == GroupOutcome::Accepted && untilDone)
            reply.detail =
                QStringLiteral("no result within %1 s").arg(m_invocation.powerWait->count());
        if (reply.outcome != GroupOutcome::Reached &&
            (untilDone || reply.outcome != GroupOutcome::Accepted))
            ++notDone[reply.outcome];
        replies.push_back(reply);
    }
    if (m_invocation.json)
        print(QString::fromUtf8(QJsonDocument(groupJson(replies)).toJson(QJsonDocument::Indented))
                  .trimmed());
    else
        for (const QString& line : groupTable(replies))
            print(line);
    const bool succeeded = m_tally->succeeded();
    if (!succeeded) {
        QStringList counts;
        int missed = 0;
        for (const auto& [outcome, count] : notDone) {
            counts << QStringLiteral("%1 %2").arg(count).arg(groupOutcomeWord(outcome));
            missed += count;
        }
        complain(QStringLiteral("%1: %2 of %3 not done: %4")
                     .arg(m_invocation.verb)
                     .arg(missed)
                     .arg(replies.size())
                     .arg(counts.join(QStringLiteral(", "))));
    }
    finish(succeeded ? kExitOk : kExitNotAllDone);
}

// A service's answer that lacks `key` means it does not know the request
// (said, exit 4); with --json the answer is printed as it is. True when that
// ended the run.
bool Kavoctl::finishedWith(const QJsonObject& answer, const char* key, const QString& unknown) {
    if (!answer.contains(QLatin1String(key))) {
        complain(unknown);
        finish(kExitBadReply);
        return true;
    }
    if (m_invocation.json) {
        print(QString::fromUtf8(QJsonDocument(answer).toJson(QJsonDocument::Indented)).trimmed());
        finish(kExitOk);
        return true;
    }
    return false;
}

// The open alerts, then the last events, oldest first.
void Kavoctl::printAlerts(const QJsonObject& answer) {
    if (finishedWith(answer, "events",
                     QStringLiteral("%1: the service does not know alerts").arg(m_portName)))
        return;
    const auto line = [](const QJsonValue& value) {
        const QJsonObject event = value.toObject();
        const auto text = [&event](const char* name) {
            return escapeControls(event.value(QLatin1String(name)).toString());
        };
        return QStringLiteral("%1  %2 %3: %4")
            .arg(text("time"), text("event"), text("state"), text("detail"));
    };
    const QJsonArray open = answer.value(QStringLiteral("open")).toArray();
    print(open.isEmpty() ? QStringLiteral("Open: none") : QStringLiteral("Open:"));
    for (const QJsonValue& event : open)
        print(QStringLiteral("  ") + line(event));
    const QJsonArray events = answer.value(QStringLiteral("events")).toArray();
    print(events.isEmpty() ? QStringLiteral("Events: none") : QStringLiteral("Events:"));
    for (const QJsonValue& event : events)
        print(QStringLiteral("  ") + line(event));
    finish(kExitOk);
}

// The schedule's text as the file holds it, then its next runs in the
// service's time zone.
void Kavoctl::printSchedule(const QJsonObject& answer) {
    if (finishedWith(answer, "text",
                     QStringLiteral("%1 runs without a schedule (kavo-projectord --schedule FILE)")
                         .arg(m_portName)))
        return;
    print(QStringLiteral("# %1 (%2 time), %3; missed runs caught up within %4 min")
              .arg(escapeControls(answer.value(QStringLiteral("file")).toString()),
                   answer.value(QStringLiteral("zone")).toString(),
                   answer.value(QStringLiteral("paused")).toBool() ? QStringLiteral("paused")
                                                                   : QStringLiteral("running"))
              .arg(answer.value(QStringLiteral("catch_up_minutes")).toInt()));
    QString text = answer.value(QStringLiteral("text")).toString();
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    for (const QString& line : text.split(QLatin1Char('\n')))
        print(escapeControls(line));
    print(QStringLiteral("# next runs:"));
    for (const QJsonValue& run : answer.value(QStringLiteral("next")).toArray()) {
        const QDateTime time = QDateTime::fromString(
            run.toObject().value(QStringLiteral("time")).toString(), Qt::ISODate);
        print(QStringLiteral("#   %1  %2")
                  .arg(time.toString(QStringLiteral("ddd yyyy-MM-dd HH:mm")),
                       run.toObject().value(QStringLiteral("action")).toString()));
    }
    const QJsonArray last = answer.value(QStringLiteral("last")).toArray();
    if (!last.isEmpty())
        print(QStringLiteral("# last runs:"));
    for (const QJsonValue& run : last) {
        const QDateTime time = QDateTime::fromString(
            run.toObject().value(QStringLiteral("time")).toString(), Qt::ISODate);
        print(QStringLiteral("#   %1  %2")
                  .arg(time.toString(QStringLiteral("ddd yyyy-MM-dd HH:mm")),
                       escapeControls(run.toObject().value(QStringLiteral("outcome")).toString())));
    }
    finish(kExitOk);
}

// power on|off --wait: each exchange reported as send reports it, then
// whether the projector got there.
void Kavoctl::managedPower() {
    m_power = std::make_unique<ManagedPower>(
        [this](const QString& command, ManagedPower::Ended ended) {
            m_exchanger->exchange(command, [this, ended](const Exchange& exchange) {
                if (closedAtOnce(exchange))
                    return;
                report(exchange);
                ended(&exchange);
            });
        },
        m_platform.timers);
    const bool on = m_invocation.verb == QLatin1String("power on");
    m_power->start(on, *m_invocation.powerWait, [this](const ManagedPower::Outcome& outcome) {
        m_jsonOutcome =
            QJsonObject{{QStringLiteral("reached"), outcome.reached},
                        {QStringLiteral("power"), outcome.last == PowerState::Unknown
                                                      ? QJsonValue()
                                                      : QJsonValue(powerWord(outcome.last))},
                        {QStringLiteral("outcome"), outcome.words}};
        if (!outcome.reached) {
            complain(QStringLiteral("%1: %2").arg(m_invocation.verb, outcome.words));
            finish(kExitNotReached);
            return;
        }
        if (!m_invocation.json)
            print(QStringLiteral("%1: %2").arg(m_invocation.verb, outcome.words));
        finish(kExitOk);
    });
}

// A port that is gone before the first reply began, right after it opened,
// was never usable: a network serial server that is busy with another client
// accepts and closes at once. The port counts as not opened.
bool Kavoctl::closedAtOnce(const Exchange& exchange) {
    const bool first = std::exchange(m_firstExchange, false);
    // A projector-sharing service whose own line is down says so and closes:
    // the port cannot be used, whenever that happens.
    if (exchange.kind == ReplyKind::LineLost && !m_port->farEndReason().isEmpty()) {
        complain(QStringLiteral("cannot use %1: %2").arg(m_portName, m_port->farEndReason()));
        finish(kExitPort);
        return true;
    }
    if (!first)
        return false;
    if (exchange.kind != ReplyKind::LineLost || !exchange.reply.isEmpty() ||
        m_sinceOpen.hasExpired(kClosedAtOnce.count()))
        return false;
    complain(QStringLiteral("cannot use %1: the port closed the connection as soon as it was "
                            "made (a network serial server does this while it serves another "
                            "client)")
                 .arg(m_portName));
    finish(kExitPort);
    return true;
}

void Kavoctl::report(const Exchange& exchange) {
    if (noReply(exchange.kind))
        m_noReply = true;
    else if (exchange.kind != ReplyKind::Answered)
        m_badReply = true;
    if (const QString problem = exchangeProblem(exchange, m_invocation.replyWindow);
        !problem.isEmpty())
        complain(problem);

    const bool status = !m_reads.empty();
    if (status)
        m_state.update(exchange, QDateTime::currentDateTimeUtc());
    if (m_invocation.json) {
        if (status) {
            m_jsonReads.insert(m_reads[m_nextRead].caption, exchangeToJson(exchange));
        } else {
            m_jsonExchanges.append(exchangeToJson(exchange));
        }
        return;
    }
    // status sums up its reads at the end.
    if (m_invocation.subcommand == Subcommand::Status)
        return;
    if (status) {
        const QString caption = m_reads[m_nextRead].caption;
        if (exchange.status)
            print(caption + QLatin1Char(':') + *exchange.status);
        else if (noReply(exchange.kind))
            print(caption + QLatin1Char(':') + exchange.replyTrace);
        else
            print(caption + QStringLiteral(": not decoded\tRxD:") + exchange.replyTrace);
        return;
    }
    QString line = QStringLiteral("TxD:") + exchange.sentTrace + QStringLiteral("\tRxD:") +
                   exchange.replyTrace;
    if (exchange.status)
        line += QStringLiteral("\tSTATUS:") + *exchange.status;
    print(line);
}

void Kavoctl::complain(const QString& text) {
    m_err << "kavoctl: " << text << '\n';
    m_err.flush();
}

void Kavoctl::print(const QString& line) {
    if (!m_invocation.quiet)
        write(line + QLatin1Char('\n'));
}

void Kavoctl::write(const QString& text) {
    if (m_outputFailure)
        return;
    m_out << text;
    m_out.flush();
    if (m_out.status() == QTextStream::Ok)
        return;
    m_outputFailure = true;
    const QIODevice* device = m_out.device();
    complain(QStringLiteral("cannot write to standard output: %1")
                 .arg(device ? device->errorString() : QStringLiteral("write failed")));
}

void Kavoctl::finish(int exitStatus) {
    if (!m_finished)
        return;
    if (m_port)
        m_port->close();
    if (m_broker)
        m_broker->stop();
    for (Timer* timer : {m_brokerQuiet.get(), m_brokerLongest.get(), m_answerLimit.get(),
                         m_resultLimit.get(), m_settled.get()}) {
        if (timer)
            timer->setEnabled(false);
    }
    const bool status = m_invocation.subcommand == Subcommand::Status;
    if (status && !m_invocation.json && m_exchanger && !m_fromService) {
        for (const QString& line : statusSummary(m_state.toJson(), std::nullopt))
            print(line);
    }
    // A service that could not be asked still gives a state: every reading unknown.
    const bool unasked = status && m_throughService && !m_fromService;
    if (m_invocation.json && (m_exchanger || unasked)) {
        if (!m_reads.empty())
            m_jsonReads.insert(QStringLiteral("state"), m_state.toJson());
        if (status)
            m_jsonReads.insert(
                QStringLiteral("summary"),
                statusSummaryJson(m_jsonReads.value(QStringLiteral("state")).toObject()));
        QJsonDocument document(m_jsonExchanges);
        if (!m_reads.empty())
            document = QJsonDocument(m_jsonReads);
        else if (m_invocation.powerWait) {
            QJsonObject outcome = m_jsonOutcome;
            outcome.insert(QStringLiteral("exchanges"), m_jsonExchanges);
            document = QJsonDocument(outcome);
        }
        print(QString::fromUtf8(document.toJson(QJsonDocument::Indented)).trimmed());
    }
    // Results that did not reach their reader are no success.
    if (m_outputFailure && exitStatus == kExitOk)
        exitStatus = kExitUsage;
    std::exchange(m_finished, nullptr)(exitStatus);
}

} // namespace kavo::cli
