#pragma once

// The X display the desktop tests run on (see with_window_manager.sh) and the
// window manager the script started beside them. A window shown before that
// window manager is ready is not always managed: requests to map or move a
// window that reach it while it starts up can be lost, and the window then
// never appears.

#include <chrono>
#include <xcb/xcb.h>

namespace kavo::test {

// The application's X connection; null off the xcb platform.
xcb_connection_t* connection();
xcb_window_t rootWindow();

// Whether the window manager tells a window's frame before the window maps
// (openbox does, twm does not).
bool framesAhead();

// Waits until the window manager has taken over the root window and, where it
// tells frames ahead, answers requests. False when it is not ready in time.
bool waitForWindowManager(std::chrono::milliseconds timeout = std::chrono::seconds(20));

} // namespace kavo::test
