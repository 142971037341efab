// kavo-projectord: owns one projector's serial line and shares it.

#include "accounts.h"
#include "hidden_typing.h"
#include "journal.h"
#include "mqtt_link.h"
#include "port_factory.h"
#include "port_paths.h"
#include "projector_service.h"
#include "qt_platform.h"
#include "service_manager.h"
#include "service_options.h"
#include "stop_requests.h"
#ifdef KAVO_HAVE_WEB
#include "web_front_end.h"
#endif

#include <cstdio>
#include <optional>
#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

namespace {

// One line from the terminal without echo, or from standard input.
std::optional<QByteArray> readPassword(const QString& name) {
    std::optional<QByteArray> line;
    {
        const kavo::HiddenTyping hidden;
        if (hidden.terminal())
            QTextStream(stderr) << "Password for " << name << ": " << Qt::flush;
        QFile input;
        if (input.open(stdin, QIODevice::ReadOnly)) {
            QByteArray read = input.readLine(4096);
            if (!read.isEmpty() || !input.atEnd()) {
                while (read.endsWith('\n') || read.endsWith('\r'))
                    read.chop(1);
                line = read;
            }
        }
        if (hidden.terminal())
            QTextStream(stderr) << '\n';
    }
    return line;
}

// --add-user and --remove-user: the accounts file changed, then the exit status.
int changeAccounts(const kavo::service::ServiceOptions& options) {
    using namespace kavo::service;
    QTextStream err(stderr);
    QString error;
    std::optional<Accounts> accounts = Accounts::load(options.usersFile, true, error);
    if (!accounts) {
        err << "kavo-projectord: " << error << '\n';
        return 1;
    }
    QString done;
    if (!options.removeUser.isEmpty()) {
        if (!accounts->remove(options.removeUser)) {
            err << "kavo-projectord: " << kavo::escapeControls(options.removeUser)
                << " has no account in " << kavo::escapeControls(options.usersFile) << '\n';
            return 1;
        }
        done = QStringLiteral("removed %1").arg(options.removeUser);
    } else {
        const std::optional<QByteArray> password = readPassword(options.addUser);
        if (!password) {
            err << "kavo-projectord: no password given (one line on standard input)\n";
            return 1;
        }
        const bool existed = accounts->find(options.addUser) != nullptr;
        if (const QString problem = accounts->set(options.addUser, *options.role, *password);
            !problem.isEmpty()) {
            err << "kavo-projectord: " << problem << '\n';
            return 1;
        }
        done = QStringLiteral("%1 %2 (%3)")
                   .arg(existed ? QStringLiteral("changed") : QStringLiteral("added"),
                        options.addUser, roleWord(*options.role));
    }
    if (const QString problem = accounts->save(options.usersFile); !problem.isEmpty()) {
        err << "kavo-projectord: " << problem << '\n';
        return 1;
    }
    QTextStream(stdout) << done << " in " << options.usersFile << '\n';
    return 0;
}

// The service itself once its options are read: the exit status. `stop`
// is set here, for the stop requests that arrive while it runs.
int serve(const kavo::service::ServiceOptions& options, std::function<void(const QString&)>& stop,
          kavo::ServiceManager* manager) {
    QTextStream err(stderr);
    if (!options.usersFile.isEmpty()) {
        // Checked at start: a mistake in it is a bad setting.
        QString error;
        if (!kavo::service::Accounts::load(options.usersFile, false, error)) {
            err << "kavo-projectord: " << error << '\n';
            return 1;
        }
    }
    // SIGTERM, SIGINT and SIGHUP (Ctrl+C and the console's closing on
    // Windows) end the event loop, so that the line, the socket and the
    // serial lock are let go as usual.
    const std::unique_ptr<kavo::StopRequests> stopRequests =
        kavo::StopRequests::install([&stop](const QString& why) {
            if (stop)
                stop(why);
        });
    if (!stopRequests) {
        err << "kavo-projectord: cannot set up the stop signals\n";
        return 1;
    }

    kavo::service::Journal journal(stdout);
    if (!options.journalFile.isEmpty()) {
        if (const QString error = journal.openFile(options.journalFile); !error.isEmpty()) {
            err << "kavo-projectord: " << error << '\n';
            return 1;
        }
    }
    kavo::QtPortFactory ports(kavo::linkedNetworkPorts());
    kavo::QtTimerFactory timers;
    kavo::service::ProjectorService service(
        options, ports, timers, journal, [&timers](kavo::MqttSettings settings) {
            return kavo::createMosquittoLink(std::move(settings), timers);
        });
    // The web page listens before the line is opened: a port in use is a
    // bad setting, said before anything else happens.
#ifdef KAVO_HAVE_WEB
    std::unique_ptr<kavo::web::WebFrontEnd> web;
    if (options.http) {
        kavo::web::WebFrontEndSettings settings;
        settings.page.name = options.name;
        settings.page.description = options.description;
        settings.page.usersFile = options.usersFile;
        settings.page.tls = !options.httpsCertFile.isEmpty();
        settings.page.exposed = !settings.page.tls && !options.http->address.isLoopback();
        settings.page.openOperator = options.httpOpenOperator;
        settings.listen = *options.http;
        settings.certificateFile = options.httpsCertFile;
        settings.keyFile = options.httpsKeyFile;
        kavo::service::OwnedLine& line = service.line();
        web = std::make_unique<kavo::web::WebFrontEnd>(
            service.queue(), timers, journal, std::move(settings), [&line] {
                return kavo::web::LineFacts{line.isOpen(), line.deviceName(), line.downSince(),
                                            line.downReason()};
            });
        line.addOpenObserver([&web](bool open) {
            if (web)
                web->lineChanged(open);
        });
        if (const QString error = web->start(); !error.isEmpty()) {
            err << "kavo-projectord: " << error << '\n';
            return 1;
        }
    }
#else
    if (options.http) {
        err << "kavo-projectord: --http: the web page is not in this build (Qt HTTP Server "
               "and Qt WebSockets were not at hand when it was built)\n";
        return 1;
    }
#endif
    bool stopped = false;
    stop = [&](const QString& why) {
        // A console event and the service manager may both ask.
        if (stopped)
            return;
#ifdef KAVO_HAVE_WEB
        if (web)
            web->close();
#endif
        service.stop(why);
        stopped = true;
        QCoreApplication::quit();
    };
    // Opening a network line waits in an event loop of its own, where a stop
    // signal is taken in already; quit() means nothing before exec().
    if (const QString error = service.start(); !error.isEmpty() && !stopped) {
        journal.write(options.name, error);
        err << "kavo-projectord: " << error << '\n';
        return 1;
    }
#ifdef KAVO_HAVE_WEB
    // The page lists the alerts and hears of each new one.
    if (web && service.alerts()) {
        kavo::service::AlertMonitor& alerts = *service.alerts();
        web->api().setAlerts([&alerts] { return alerts.toJson(); });
        alerts.addListener([&web](const QJsonObject& event) {
            if (web)
                web->api().alert(event);
        });
    }
    if (web)
        web->setScheduler(service.scheduler());
    // The building, seen through the broker: the page lists it and is told when it changes.
    if (web && service.building()) {
        kavo::service::Building& building = *service.building();
        web->api().setBuilding([&building] { return building.toJson(); });
        building.setChanged([&web] {
            if (web)
                web->api().buildingChanged();
        });
        // Its projectors asked together, on behalf of the page's operators.
        kavo::service::GroupActions& actions = *service.groupActions();
        web->api().setGroupActions(&actions);
        actions.setChanged([&web](const QJsonObject& request) {
            if (web)
                web->api().groupChanged(request);
        });
    }
#endif
    if (manager && !stopped) {
        manager->running();
        const QString config = options.configFile.isEmpty()
                                   ? QString()
                                   : QStringLiteral(" (configuration %1)").arg(options.configFile);
        kavo::logEvent(QStringLiteral("kavo-projectord"), kavo::EventKind::Information,
                       QStringLiteral("%1: started on %2%3")
                           .arg(options.name, service.line().deviceName(), config));
    }
    return stopped ? 0 : QCoreApplication::exec();
}

} // namespace

int main(int argc, char* argv[]) {
    // Qt's own event dispatcher: a service has no GLib sources to share a
    // loop with, and each wake-up costs less without GLib's.
    qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QTextStream err(stderr);
    const QStringList arguments = QCoreApplication::arguments();
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    kavo::service::ParsedOptions parsed =
        kavo::service::parseServiceOptions(arguments, environment);
    if (!parsed.options && parsed.exitCode == 0) {
        QTextStream(stdout) << parsed.text;
        return 0;
    }
    if (parsed.options &&
        (!parsed.options->addUser.isEmpty() || !parsed.options->removeUser.isEmpty()))
        return changeAccounts(*parsed.options);
    // Started by Windows' service control manager, the program tells it how
    // it fares and takes its stop requests; in a console (or with
    // --foreground, or elsewhere) it runs as it is. A bad setting is told
    // to the manager too, which would otherwise hear nothing at all.
    std::function<void(const QString&)> stop;
    std::unique_ptr<kavo::ServiceManager> manager;
    if (!parsed.options || !parsed.options->foreground) {
        manager = kavo::ServiceManager::connect([&stop](const QString& why) {
            if (stop)
                stop(why);
        });
    }
    // Such a service given no configuration reads the one in its own place
    // when an administrator put it there.
    if (manager)
        parsed = kavo::service::parseServiceOptions(arguments, environment, true);
    const QString source = QStringLiteral("kavo-projectord");
    if (!parsed.options) {
        err << "kavo-projectord: " << parsed.text << '\n';
        if (manager) {
            kavo::logEvent(
                source, kavo::EventKind::Error,
                QStringLiteral("cannot start: %1 (with no --config, the settings are read "
                               "from %2 when it is there)")
                    .arg(parsed.text, kavo::service::serviceConfigFile(QStringLiteral("NAME"))));
            manager->stopped(parsed.exitCode);
        }
        return parsed.exitCode;
    }
    const kavo::service::ServiceOptions& options = *parsed.options;
    const int code = serve(options, stop, manager.get());
    // What it stopped is gone: a late request finds nothing to call.
    stop = nullptr;
    if (manager) {
        if (code == 0)
            kavo::logEvent(source, kavo::EventKind::Information,
                           QStringLiteral("%1: stopped").arg(options.name));
        else
            kavo::logEvent(source, kavo::EventKind::Error,
                           QStringLiteral("%1: ended with exit status %2; its journal says why")
                               .arg(options.name)
                               .arg(code));
        manager->stopped(code);
    }
    return code;
}
