// Renders the panel in its compact and extended heights and the command
// console to PNG files, with a sample exchange on the trace lines, for the
// README.

#include "form1.h"
#include "form3.h"
#include "port_factory.h"
#include "qt_platform.h"

#include <QApplication>
#include <QDir>
#include <QTimer>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs");
    QDir().mkpath(folder);

    kavo::QtPortFactory ports(kavo::linkedNetworkPorts());
    kavo::PortByNumber port(ports); // never opened: sends only show their trace
    kavo::QtSettingsStore store;
    kavo::QtTimerFactory timers;
    kavo::PanelSession session(port, timers, store);
    kavo::Form1 form1(session);
    form1.show();
    form1.activateWindow(); // the focus ring on POWER ON, as at start-up

    session.values().Cur_cmd = QStringLiteral("CR LAMPMODE\r");
    form1.Hyouji(session.values().Cur_cmd, 1);
    session.engine().MSComm1_OnComm(kavo::CommEvent::Receive);
    form1.Hyouji(QStringLiteral("000 ECO\r"), 2);

    int status = 0;
    QTimer::singleShot(300, [&] {
        status |= !form1.grab().save(folder + QStringLiteral("/panel-compact.png"));
        form1.setOuterHeightTwips(kavo::kExtendedHeightTwips);
        QTimer::singleShot(300, [&] {
            status |= !form1.grab().save(folder + QStringLiteral("/panel-extended.png"));
            auto* console = new kavo::Form3(session, {}, &form1);
            console->placeOver(&form1);
            console->show();
            QTimer::singleShot(300, [&, console] {
                status |= !console->grab().save(folder + QStringLiteral("/console.png"));
                app.exit(status);
            });
        });
    });
    return app.exec();
}
