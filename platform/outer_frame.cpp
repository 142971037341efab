#include "outer_frame.h"

#include <algorithm>
#include <chrono>
#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <QWindow>
#include <thread>

#if defined(KAVO_HAVE_XCB)
#include <cstdlib>
#include <cstring>
#include <memory>
#include <xcb/xcb.h>
#endif

namespace kavo {

OuterFrame::OuterFrame(QWidget* window) : QObject(window), m_window(window) {
    window->installEventFilter(this);
}

int OuterFrame::outerHeight() const {
    // Qt learns the frame a little after the window manager has drawn it.
    const QRect outer = m_window->frameGeometry();
    if (m_window->isVisible() && outer != m_window->geometry())
        return outer.height();
    return m_window->height() + m_margins.top() + m_margins.bottom();
}

void OuterFrame::setOuterHeight(int pixels) {
    m_outerHeight = pixels;
    if (!m_window->isVisible() && !m_askedBeforeShow) {
        m_askedBeforeShow = true;
        m_margins = askFrameMarginsBeforeShow(m_window);
    }
    learnMargins();
    applyHeight();
}

void OuterFrame::placeAboveCentre(int abovePixels) {
    m_abovePixels = abovePixels;
    m_placementPending = true;
    applyPlacement();
}

void OuterFrame::placeCentredOver(const QWidget* other) {
    m_over = other;
    m_placementPending = true;
    applyPlacement();
}

void OuterFrame::learnMargins() {
    const QWindow* handle = m_window->windowHandle();
    if (!handle || !m_window->isVisible())
        return;
    // Empty until the window manager has framed the window.
    const QMargins margins = handle->frameMargins();
    if (!margins.isNull())
        m_margins = margins;
}

void OuterFrame::applyHeight() {
    if (m_outerHeight <= 0)
        return;
    const int client = std::max(1, m_outerHeight - m_margins.top() - m_margins.bottom());
    if (m_window->minimumHeight() != client || m_window->maximumHeight() != client ||
        m_window->height() != client)
        m_window->setFixedHeight(client);
}

void OuterFrame::applyPlacement() {
    const QScreen* screen = m_over && m_over->screen() ? m_over->screen() : m_window->screen();
    if (!screen)
        return;
    const int outerWidth = m_window->width() + m_margins.left() + m_margins.right();
    QRect outer(0, 0, outerWidth, m_outerHeight);
    if (m_over) {
        // Over the other window, as far as the screen's free area allows:
        // never off its left or top edge.
        const QRect area = screen->availableGeometry();
        outer.moveCenter(m_over->frameGeometry().center());
        outer.moveLeft(
            std::max(area.left(), std::min(outer.left(), area.right() + 1 - outerWidth)));
        outer.moveTop(
            std::max(area.top(), std::min(outer.top(), area.bottom() + 1 - m_outerHeight)));
    } else {
        const QRect area = screen->geometry();
        outer.moveTopLeft({area.left() + (area.width() - outerWidth) / 2,
                           area.top() + (area.height() - m_outerHeight) / 2 - m_abovePixels});
    }
    // Placed by the client area: how a window system treats a frame position
    // given before the frame exists differs between them.
    m_window->setGeometry(
        QRect(outer.topLeft() + QPoint(m_margins.left(), m_margins.top()), m_window->size()));
}

bool OuterFrame::eventFilter(QObject* watched, QEvent* event) {
    QWindow* handle = m_window->windowHandle();
    if (watched == m_window && event->type() == QEvent::Show && handle && !m_watchingHandle) {
        // A window manager that keeps the client where it was asked to be
        // frames it without a move: the first sign is the window's exposure.
        handle->installEventFilter(this);
        m_watchingHandle = true;
    }
    const bool relevant =
        (watched == m_window && (event->type() == QEvent::Show || event->type() == QEvent::Move ||
                                 event->type() == QEvent::Resize)) ||
        (watched == handle && event->type() == QEvent::Expose);
    if (!relevant)
        return false;
    const QMargins before = m_margins;
    learnMargins();
    // The first placement with the frame known is the last one made here;
    // after it the window stays where the user puts it.
    const bool place = m_placementPending && m_margins != before;
    if (m_window->isVisible() && !m_margins.isNull())
        m_placementPending = false;
    if (m_margins == before)
        return false;
    applyHeight();
    if (place)
        applyPlacement();
    return false;
}

#if defined(KAVO_HAVE_XCB)
namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using XcbReply = std::unique_ptr<T, FreeDeleter>;

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
    const XcbReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, std::uint16_t(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : XCB_ATOM_NONE;
}

bool rootSupports(xcb_connection_t* c, xcb_window_t root, xcb_atom_t supported, xcb_atom_t wanted) {
    const XcbReply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        c, xcb_get_property(c, 0, root, supported, XCB_ATOM_ATOM, 0, 4096), nullptr));
    if (!reply || reply->format != 32 || reply->type != XCB_ATOM_ATOM)
        return false;
    const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply.get()));
    const int count = xcb_get_property_value_length(reply.get()) / int(sizeof(xcb_atom_t));
    return std::find(atoms, atoms + count, wanted) != atoms + count;
}

bool frameExtents(xcb_connection_t* c, xcb_window_t window, xcb_atom_t extents, QMargins& margins) {
    const XcbReply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        c, xcb_get_property(c, 0, window, extents, XCB_ATOM_CARDINAL, 0, 4), nullptr));
    if (!reply || reply->format != 32 || reply->type != XCB_ATOM_CARDINAL ||
        xcb_get_property_value_length(reply.get()) != 16)
        return false;
    const auto* value = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
    // Left, right, top, bottom; a sane frame is a few dozen pixels at most.
    constexpr std::uint32_t kThickest = 1000;
    if (std::any_of(value, value + 4, [](std::uint32_t v) { return v > kThickest; }))
        return false;
    margins = QMargins(int(value[0]), int(value[2]), int(value[1]), int(value[3]));
    return true;
}

} // namespace

QMargins askFrameMarginsBeforeShow(QWidget* window) {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection() || !window->isWindow())
        return {};
    xcb_connection_t* c = x11->connection();
    const auto id = xcb_window_t(window->winId());
    const XcbReply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(c, xcb_query_tree(c, id), nullptr));
    if (!tree)
        return {};
    const xcb_atom_t request = atom(c, "_NET_REQUEST_FRAME_EXTENTS");
    const xcb_atom_t extents = atom(c, "_NET_FRAME_EXTENTS");
    if (request == XCB_ATOM_NONE || extents == XCB_ATOM_NONE ||
        !rootSupports(c, tree->root, atom(c, "_NET_SUPPORTED"), request))
        return {};

    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = id;
    message.type = request;
    xcb_send_event(c, 0, tree->root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                   reinterpret_cast<const char*>(&message));
    xcb_flush(c);

    // A window manager answers within a millisecond or so, a busy one in a
    // few dozen; one that claims to but does not costs the start this much.
    using namespace std::chrono_literals;
    constexpr auto kLongestWait = 300ms;
    const auto deadline = std::chrono::steady_clock::now() + kLongestWait;
    QMargins margins;
    while (!frameExtents(c, id, extents, margins)) {
        if (std::chrono::steady_clock::now() >= deadline)
            return {};
        std::this_thread::sleep_for(1ms);
    }
    return margins;
}
#else
QMargins askFrameMarginsBeforeShow(QWidget*) {
    return {};
}
#endif

} // namespace kavo
