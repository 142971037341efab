#include "application.h"

#include "app_values.h"
#include "form1.h"
#include "form3.h"
#include "port_dialog.h"
#include "qt_platform.h"
#include "qt_serial_port.h"

#include <QApplication>
#include <QGroupBox>
#include <QPointer>

namespace kavo {

AppValues& appValues() {
    static AppValues values;
    return values;
}

int runApplication(QApplication& app) {
    QtSerialPort port;
    QtSettingsStore store;
    QtTimerFactory timers;
    QtMessageBox messages;

    Form1 form1(appValues(), port, timers, store);
    messages.setParent(&form1);
    PortDialog portDialog(appValues(), port, store, messages, &form1);
    form1.showPortDialogModal = [&portDialog] { portDialog.showModal(); };
    form1.showPortDialogFromPanel = [&portDialog] { portDialog.showFromPanel(); };

    // "COMMANDTABLE": a console is created when shown and brought forward while open.
    QPointer<Form3> console;
    form1.logic().openConsole = [&console, &form1] {
        if (!console) {
            console = new Form3(
                form1.engine(),
                [&form1] {
                    form1.show();
                    form1.Frame15->show();
                },
                &form1);
        }
        console->show();
        console->raise();
        console->activateWindow();
    };
    form1.Form_Load();
    form1.show();
    return app.exec();
}

} // namespace kavo
