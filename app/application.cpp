#include "application.h"

#include "app_values.h"
#include "form1.h"
#include "port_dialog.h"
#include "qt_platform.h"
#include "qt_serial_port.h"

#include <QApplication>

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
    form1.Form_Load();
    form1.show();
    return app.exec();
}

} // namespace kavo
