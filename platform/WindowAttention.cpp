#include "WindowAttention.h"

#include <QApplication>
#include <QGuiApplication>
#include <QVariant>
#include <QWidget>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <xcb/xcb.h>

namespace {

constexpr const char* kWatched = "vesmiraAttentionWatched";
// WM_HINTS is nine 32-bit fields, flags first; bit 8 of the flags is the urgency hint.
constexpr std::uint32_t kWmHintsFields = 9;
constexpr std::uint32_t kUrgencyHint = 1u << 8;

xcb_connection_t* x11Connection(QWidget* window) {
    auto* x11 = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 && window && window->windowHandle() ? x11->connection() : nullptr;
}

bool readWmHints(xcb_connection_t* connection, xcb_window_t id, std::uint32_t (&hints)[kWmHintsFields]) {
    std::fill(std::begin(hints), std::end(hints), 0u);
    xcb_get_property_cookie_t cookie =
        xcb_get_property(connection, 0, id, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS, 0, kWmHintsFields);
    xcb_get_property_reply_t* reply = xcb_get_property_reply(connection, cookie, nullptr);
    if (!reply) {
        return false;
    }
    bool found = reply->format == 32;
    if (found) {
        auto bytes =
            std::min<std::size_t>(static_cast<std::size_t>(xcb_get_property_value_length(reply)), sizeof hints);
        std::memcpy(hints, xcb_get_property_value(reply), bytes);
    }
    std::free(reply);
    return found;
}

// The ICCCM urgency hint lives in the window's own WM_HINTS, so every window manager and taskbar that reads it
// sees it; Qt's alert alone only asks a running window manager to mark the window (EWMH demands-attention).
void setUrgencyHint(QWidget* window, bool urgent) {
    xcb_connection_t* connection = x11Connection(window);
    if (!connection) {
        return;
    }
    auto id = static_cast<xcb_window_t>(window->winId());
    std::uint32_t hints[kWmHintsFields];
    readWmHints(connection, id, hints);
    hints[0] = urgent ? (hints[0] | kUrgencyHint) : (hints[0] & ~kUrgencyHint);
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS, 32, kWmHintsFields,
                        hints);
    xcb_flush(connection);
}

} // namespace

namespace WindowAttention {

void request(QWidget* window) {
    window = window ? window->window() : nullptr;
    // A dialog of the program's own in front means the user is already looking at it.
    if (!window || !window->isVisible() || QGuiApplication::applicationState() == Qt::ApplicationActive) {
        return;
    }
    QApplication::alert(window);
    setUrgencyHint(window, true);
    if (!window->property(kWatched).toBool()) {
        window->setProperty(kWatched, true);
        QObject::connect(qApp, &QGuiApplication::applicationStateChanged, window, [window](Qt::ApplicationState state) {
            if (state == Qt::ApplicationActive) {
                setUrgencyHint(window, false);
            }
        });
    }
}

} // namespace WindowAttention
