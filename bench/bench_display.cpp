#include "bench_display.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace kavo::bench {
namespace {

constexpr auto kMapTimeout = 20s;

} // namespace

Display::~Display() {
    if (m_connection)
        xcb_disconnect(m_connection);
    stop(m_server);
}

bool Display::start(const QString& logPath, QString* error) {
    const QString server = findProgram(QStringLiteral("Xvfb"));
    if (server.isEmpty()) {
        *error = QStringLiteral("Xvfb is missing (Debian package xvfb)");
        return false;
    }
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) {
        *error = QStringLiteral("pipe failed");
        return false;
    }
    const QStringList environment{QStringLiteral("PATH=") + qEnvironmentVariable("PATH")};
    auto child =
        spawn(server,
              {QStringLiteral("-displayfd"), QStringLiteral("3"), QStringLiteral("-screen"),
               QStringLiteral("0"), QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"),
               QStringLiteral("tcp"), QStringLiteral("-noreset")},
              environment, logPath, Redirect{-1, pipe[1]});
    ::close(pipe[1]);
    if (!child) {
        ::close(pipe[0]);
        *error = QStringLiteral("cannot start Xvfb");
        return false;
    }
    m_server = *child;
    QByteArray number;
    pollfd wait{pipe[0], POLLIN, 0};
    const double deadline = nowMs() + 10000;
    while (!number.endsWith('\n') && nowMs() < deadline) {
        if (::poll(&wait, 1, 100) > 0) {
            char ch = 0;
            if (::read(pipe[0], &ch, 1) != 1)
                break;
            number += ch;
        }
    }
    ::close(pipe[0]);
    if (!number.endsWith('\n')) {
        *error = QStringLiteral("Xvfb did not say its display number");
        return false;
    }
    m_name = QStringLiteral(":") + QString::fromLatin1(number.trimmed());
    m_connection = xcb_connect(m_name.toLatin1().constData(), nullptr);
    if (xcb_connection_has_error(m_connection)) {
        *error = QStringLiteral("cannot connect to %1").arg(m_name);
        return false;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(m_connection, screen->root, XCB_CW_EVENT_MASK, &mask);
    m_pidAtom = atom("_NET_WM_PID");
    m_nameAtom = atom("_NET_WM_NAME");
    m_utf8Atom = atom("UTF8_STRING");
    xcb_flush(m_connection);
    return true;
}

QMap<pid_t, Display::Mapped> Display::waitForMaps(const std::vector<pid_t>& pids) {
    QMap<pid_t, Mapped> mapped;
    const double deadline =
        nowMs() + std::chrono::duration<double, std::milli>(kMapTimeout).count();
    const int fd = xcb_get_file_descriptor(m_connection);
    while (mapped.size() < qsizetype(pids.size()) && nowMs() < deadline) {
        pollfd wait{fd, POLLIN, 0};
        xcb_generic_event_t* event = xcb_poll_for_event(m_connection);
        if (!event) {
            ::poll(&wait, 1, 50);
            event = xcb_poll_for_event(m_connection);
        }
        const double at = nowMs();
        for (; event; event = xcb_poll_for_event(m_connection)) {
            if ((event->response_type & 0x7F) == XCB_MAP_NOTIFY) {
                const auto* map = reinterpret_cast<xcb_map_notify_event_t*>(event);
                const pid_t owner = pidOf(map->window);
                if (std::find(pids.begin(), pids.end(), owner) != pids.end() &&
                    !mapped.contains(owner))
                    mapped.insert(owner, {at, titleOf(map->window)});
            }
            std::free(event);
        }
        if (xcb_connection_has_error(m_connection))
            break;
    }
    return mapped;
}

void Display::drain() {
    while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection))
        std::free(event);
}

xcb_atom_t Display::atom(const char* name) {
    auto cookie = xcb_intern_atom(m_connection, 0, uint16_t(std::strlen(name)), name);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(m_connection, cookie, nullptr);
    const xcb_atom_t result = reply ? reply->atom : XCB_ATOM_NONE;
    std::free(reply);
    return result;
}

QByteArray Display::property(xcb_window_t window, xcb_atom_t name, xcb_atom_t type) {
    auto cookie = xcb_get_property(m_connection, 0, window, name, type, 0, 1024);
    xcb_get_property_reply_t* reply = xcb_get_property_reply(m_connection, cookie, nullptr);
    QByteArray value;
    if (reply) {
        value = QByteArray(static_cast<const char*>(xcb_get_property_value(reply)),
                           xcb_get_property_value_length(reply));
        std::free(reply);
    }
    return value;
}

pid_t Display::pidOf(xcb_window_t window) {
    const QByteArray value = property(window, m_pidAtom, XCB_ATOM_CARDINAL);
    if (value.size() < 4)
        return -1;
    uint32_t pid = 0;
    std::memcpy(&pid, value.constData(), 4);
    return pid_t(pid);
}

QString Display::titleOf(xcb_window_t window) {
    return QString::fromUtf8(property(window, m_nameAtom, m_utf8Atom));
}

} // namespace kavo::bench
