#pragma once

class QApplication;

namespace kavo {

struct AppValues;

// The process-wide values (current command, port number, baud-rate code and
// their remembered copies); one instance for the whole run.
AppValues& appValues();

// Creates the main window, runs its start-up and the event loop.
int runApplication(QApplication& app);

} // namespace kavo
