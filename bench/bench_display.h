#pragma once

// A virtual X server of the benchmark's own, and the map events of the
// top-level windows shown on it, taken as they come off the connection.

#include "bench_process.h"

#include <QMap>
#include <QString>
#include <vector>
#include <xcb/xcb.h>

namespace kavo::bench {

class Display {
  public:
    Display() = default;
    ~Display();
    Display(const Display&) = delete;
    Display& operator=(const Display&) = delete;

    bool start(const QString& logPath, QString* error);
    QString name() const { return m_name; }

    struct Mapped {
        double atMs = 0;
        QString title;
    };

    // Waits for the first top-level window of each pid to be mapped; the time
    // is taken as the event comes off the connection.
    QMap<pid_t, Mapped> waitForMaps(const std::vector<pid_t>& pids);
    // Drops events left from earlier runs (unmaps and destroys).
    void drain();

  private:
    xcb_atom_t atom(const char* name);
    QByteArray property(xcb_window_t window, xcb_atom_t name, xcb_atom_t type);
    pid_t pidOf(xcb_window_t window);
    QString titleOf(xcb_window_t window);

    Child m_server;
    QString m_name;
    xcb_connection_t* m_connection = nullptr;
    xcb_atom_t m_pidAtom = XCB_ATOM_NONE;
    xcb_atom_t m_nameAtom = XCB_ATOM_NONE;
    xcb_atom_t m_utf8Atom = XCB_ATOM_NONE;
};

} // namespace kavo::bench
