// SPDX-License-Identifier: GPL-3.0-or-later

// The window manager's close requests, read from the X11 connection itself.

#include "WindowManagerClose.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QWidget>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <utility>

namespace quellon {

namespace {

std::uint32_t Atom(xcb_connection_t* connection, const char* name)
{
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(connection, 1, static_cast<std::uint16_t>(std::strlen(name)), name);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    if (reply == nullptr)
        return 0;
    const std::uint32_t atom = reply->atom;
    std::free(reply); // NOLINT(cppcoreguidelines-no-malloc): xcb allocates its replies with malloc
    return atom;
}

} // namespace

WindowManagerClose::WindowManagerClose(QWidget& window, std::function<bool()> onRequest)
    : window_(window), onRequest_(std::move(onRequest))
{
    auto* x11 = qGuiApp == nullptr ? nullptr : qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 == nullptr || x11->connection() == nullptr)
        return;
    protocols_ = Atom(x11->connection(), "WM_PROTOCOLS");
    deleteWindow_ = Atom(x11->connection(), "WM_DELETE_WINDOW");
    if (protocols_ != 0 && deleteWindow_ != 0)
        QCoreApplication::instance()->installNativeEventFilter(this);
}

WindowManagerClose::~WindowManagerClose()
{
    if (QCoreApplication::instance() != nullptr)
        QCoreApplication::instance()->removeNativeEventFilter(this);
}

bool WindowManagerClose::nativeEventFilter(const QByteArray& eventType, void* message, qintptr* /*result*/)
{
    if (protocols_ == 0 || eventType != "xcb_generic_event_t" || message == nullptr)
        return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & ~0x80U) != XCB_CLIENT_MESSAGE)
        return false;
    const auto* client = static_cast<const xcb_client_message_event_t*>(message);
    if (client->format != 32 || client->type != protocols_ || client->data.data32[0] != deleteWindow_)
        return false;
    // Only the main window's own request; a box's or dialog's goes on to Qt as before.
    if (!window_.testAttribute(Qt::WA_WState_Created) || client->window != static_cast<xcb_window_t>(window_.winId()))
        return false;
    return onRequest_();
}

} // namespace quellon
