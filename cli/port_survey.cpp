#include "port_survey.h"

#include "cli_constants.h"
#include "line_settings.h"
#include "port_paths.h"
#include "tcp_serial_port.h"

#include <map>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QHostAddress>
#include <QHostInfo>
#include <QSerialPortInfo>
#include <QTimer>

namespace kavo::cli {
namespace {

enum class Lookup { Pending, Found, NotFound };

// Looks every host name up at once and waits for all of them, at most the
// connect bound. Lookups still running then are given up.
std::map<QString, Lookup> lookUpHosts(const QStringList& hosts) {
    std::map<QString, Lookup> results;
    QEventLoop wait;
    std::map<QString, int> running;
    const auto done = [&] {
        for (const auto& [host, state] : results) {
            if (state == Lookup::Pending)
                return;
        }
        wait.quit();
    };
    for (const QString& host : hosts) {
        if (results.count(host) != 0)
            continue;
        results[host] = Lookup::Pending;
        running[host] = QHostInfo::lookupHost(host, &wait, [&, host](const QHostInfo& info) {
            const bool found = info.error() == QHostInfo::NoError && !info.addresses().isEmpty();
            results[host] = found ? Lookup::Found : Lookup::NotFound;
            done();
        });
    }
    if (results.empty())
        return results;
    QTimer::singleShot(kConnectTimeout, &wait, &QEventLoop::quit);
    wait.exec();
    for (const auto& [host, state] : results) {
        if (state == Lookup::Pending) {
            QHostInfo::abortHostLookup(running[host]);
            noteHostLookupAbandoned();
        }
    }
    return results;
}

// A network serial server that serves someone else accepts and closes at once.
bool closesAtOnce(SerialPort& port) {
    QEventLoop wait;
    bool lost = false;
    port.setEventHandler([&](CommEvent event) {
        if (event == CommEvent::LineLost) {
            lost = true;
            wait.quit();
        }
    });
    QTimer::singleShot(kClosedAtOnce, &wait, &QEventLoop::quit);
    wait.exec();
    port.setEventHandler({});
    return lost;
}

QString probe(PortFactory& ports, const QString& path, const PortTarget& target,
              const std::map<QString, Lookup>& lookups) {
    if (target.kind == PortTarget::Kind::Network) {
        const auto lookup = lookups.find(target.host);
        if (lookup != lookups.end() && lookup->second == Lookup::Pending) {
            return QStringLiteral("%1: timed out after %2 ms looking up %3.")
                .arg(target.shown)
                .arg(kConnectTimeout.count())
                .arg(target.host);
        }
    }
    const std::unique_ptr<SerialPort> port = ports.createPort(path);
    const OpenResult opened = port->open();
    if (!opened)
        return opened.reason;
    QString state = QStringLiteral("present and openable");
    if (target.kind == PortTarget::Kind::Network && closesAtOnce(*port))
        state = QStringLiteral("%1: busy (the server closed the connection as soon as it was "
                               "made: it serves another client).")
                    .arg(target.shown);
    // Closed before the next entry is tried: one server may stand behind several.
    port->close();
    return state;
}

// Serial devices present, each with its name under /dev/serial/by-id when
// there is one: that name stays the same when an adapter is plugged in again.
QStringList devicesPresent() {
    std::map<QString, QString> stableNames;
    const QDir byId(QStringLiteral("/dev/serial/by-id"));
    for (const QFileInfo& link : byId.entryInfoList(QDir::System | QDir::Files)) {
        const QString device = link.canonicalFilePath();
        if (!device.isEmpty())
            stableNames[device] = link.absoluteFilePath();
    }
    QStringList lines;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        const QString device = info.systemLocation();
        const auto stable = stableNames.find(device);
        lines << QStringLiteral("device\t%1\t%2")
                     .arg(escapeControls(device),
                          stable == stableNames.end() ? QString() : escapeControls(stable->second));
    }
    return lines;
}

} // namespace

QStringList surveyPorts(PortFactory& ports, int storedPort) {
    const QString folder = portFolder() + QLatin1Char('/');
    std::vector<std::pair<QString, PortTarget>> targets;
    QStringList hosts;
    for (int number = kLowestPort; number <= kHighestPort; ++number) {
        const QString path = portDevicePath(number);
        PortTarget target = resolvePortTarget(path);
        if (QHostAddress address;
            target.kind == PortTarget::Kind::Network && !address.setAddress(target.host))
            hosts << target.host;
        targets.emplace_back(path, std::move(target));
    }
    const std::map<QString, Lookup> lookups = lookUpHosts(hosts);

    QStringList lines;
    int number = kLowestPort;
    for (const auto& [path, target] : targets) {
        QString device = target.shown;
        if (path.startsWith(folder))
            device += QStringLiteral(" (port folder)");
        QString line = QStringLiteral("COM%1\t%2\t%3")
                           .arg(number)
                           .arg(device, escapeControls(probe(ports, path, target, lookups)));
        if (number == storedPort)
            line += QStringLiteral("\tstored");
        lines << line;
        ++number;
    }
    return lines + devicesPresent();
}

} // namespace kavo::cli
