#pragma once

#include "OperatorDesktop.h"

#include <QProcess>
#include <QString>
#include <QStringList>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

// What an operator's desktop sends a window beyond pointer and single keys,
// for the test display that has no window manager. Header-only; the
// including program links libxcb (pkg-config "xcb").
namespace OperatorDesktop {

// A close request as Alt+F4 or a title bar's Close make it: the client
// message WM_DELETE_WINDOW of the WM_PROTOCOLS a window manager sends. The
// program decides whether its window closes. True once the X server has
// delivered it.
inline bool requestClose(const Window& window)
{
    bool isNumber = false;
    const xcb_window_t id = window.id().toUInt(&isNumber, 0);
    if (!isNumber)
        return false;
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection) != 0) {
        xcb_disconnect(connection);
        return false;
    }
    const auto atom = [connection](const char* name) {
        xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
        const xcb_atom_t value = reply != nullptr ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        return value;
    };
    xcb_client_message_event_t message = {};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = id;
    message.type = atom("WM_PROTOCOLS");
    message.data.data32[0] = atom("WM_DELETE_WINDOW");
    message.data.data32[1] = XCB_CURRENT_TIME;
    bool sent = false;
    if (message.type != XCB_ATOM_NONE && message.data.data32[0] != XCB_ATOM_NONE) {
        xcb_generic_error_t* error
            = xcb_request_check(connection, xcb_send_event_checked(connection, 0, id, XCB_EVENT_MASK_NO_EVENT,
                                                                   reinterpret_cast<const char*>(&message)));
        sent = error == nullptr;
        std::free(error);
    }
    xcb_disconnect(connection);
    return sent;
}

// Keys pressed with no pause between them, as in a double press of Return:
// the later ones reach the program while it is still handling the first.
inline bool pressKeysAtOnce(const Window& window, const QStringList& keys)
{
    return window.focus()
           && QProcess::execute(QStringLiteral("xdotool"),
                                QStringList{QStringLiteral("key"), QStringLiteral("--clearmodifiers"),
                                            QStringLiteral("--delay"), QStringLiteral("0")}
                                    + keys)
                  == 0;
}

} // namespace OperatorDesktop
