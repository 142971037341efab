#include "window_manager.h"

#include "outer_frame.h"

#include <cstdlib>
#include <memory>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QTest>
#include <QWidget>

namespace kavo::test {

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// Some client redirects the root's children: a window manager has the root.
bool rootRedirected() {
    xcb_connection_t* c = connection();
    const std::unique_ptr<xcb_get_window_attributes_reply_t, FreeDeleter> attributes(
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, rootWindow()), nullptr));
    return attributes && (attributes->all_event_masks & XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT);
}

// The root is redirected before the window manager reads its requests; an
// answer to the frame request shows that it does.
bool windowManagerReady() {
    if (!rootRedirected())
        return false;
    if (!framesAhead())
        return true;
    QWidget probe;
    return !askFrameMarginsBeforeShow(&probe).isNull();
}

} // namespace

xcb_connection_t* connection() {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

xcb_window_t rootWindow() {
    return xcb_setup_roots_iterator(xcb_get_setup(connection())).data->root;
}

bool framesAhead() {
    return qEnvironmentVariable("KAVO_TEST_WINDOW_MANAGER") == QLatin1String("openbox");
}

bool waitForWindowManager(std::chrono::milliseconds timeout) {
    if (!connection())
        return false;
    const QDeadlineTimer deadline(timeout);
    while (!windowManagerReady()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(20);
    }
    return true;
}

} // namespace kavo::test
