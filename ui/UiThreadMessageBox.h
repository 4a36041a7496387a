// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "MessageBox.h"

class QObject;

namespace quellon {

// Passes every box on to `boxes` on the thread of `context` (the UI thread), whichever thread asks:
// the engine wipes on a worker thread, and its error reports must still be modal boxes of the
// window. A caller on another thread waits until the box has been answered.
class UiThreadMessageBox final : public MessageBox {
public:
    UiThreadMessageBox(MessageBox& boxes, QObject& context) : boxes_(boxes), context_(context) {}

    int Show(const std::string& prompt, int flags, const std::string& title) override;

    // Whether a box shown through this object is up now. UI thread only.
    [[nodiscard]] bool BoxUp() const { return open_ > 0; }

private:
    int ShowHere(const std::string& prompt, int flags, const std::string& title);

    MessageBox& boxes_;
    QObject& context_;
    int open_ = 0; // touched on the UI thread only
};

} // namespace quellon
