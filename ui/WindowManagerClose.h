// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QAbstractNativeEventFilter>

#include <cstdint>
#include <functional>

class QWidget;

namespace quellon {

// Sees every close request that the X11 window manager sends to `window` (the WM_DELETE_WINDOW
// message of WM_PROTOCOLS, sent for the title bar's close button, Alt+F4 and `wmctrl -c`) before Qt
// handles it. Qt drops such a request, without telling anyone, while a modal box or dialog blocks
// the window; this filter gets it whatever is up. `onRequest` is called on the UI thread for each
// request; when it returns true the request is taken as handled and Qt never sees it.
//
// On any other window system (Wayland, offscreen) the filter is installed but never called.
class WindowManagerClose final : public QAbstractNativeEventFilter {
public:
    WindowManagerClose(QWidget& window, std::function<bool()> onRequest);
    ~WindowManagerClose() override;

    WindowManagerClose(const WindowManagerClose&) = delete;
    WindowManagerClose& operator=(const WindowManagerClose&) = delete;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    QWidget& window_;
    std::function<bool()> onRequest_;
    std::uint32_t protocols_ = 0;    // the atom WM_PROTOCOLS; 0 when not on X11
    std::uint32_t deleteWindow_ = 0; // the atom WM_DELETE_WINDOW
};

} // namespace quellon
