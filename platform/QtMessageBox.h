// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "MessageBox.h"

#include <QString>

namespace quellon {

// The message box as a modal QMessageBox. The low four bits of `flags` choose the buttons (MB_OK:
// one OK; MB_YESNO: Yes and No, Yes the default), the next four the icon (MB_ICONERROR,
// MB_ICONINFORMATION, and the question and warning icons 0x20 and 0x30). The prompt is shown as
// plain text, never as markup: CR LF and LF break lines, tabs are kept, and the box grows as wide as
// its longest line (up to the screen's width), so a line is never wrapped unless it is longer than
// the screen is wide. An empty title shows as kApplicationTitle. The box is modal to the whole
// program and centred on the active window.
//
// Show returns IDYES or IDNO for a Yes/No box (Escape and the title bar's close button answer
// No) and IDOK for every other box.
class QtMessageBox final : public MessageBox {
public:
    int Show(const std::string& prompt, int flags, const std::string& title) override;
};

// The prompt as the box shows it: CR LF turned into Qt's line break, everything else untouched.
[[nodiscard]] QString MessageBoxText(const std::string& prompt);

} // namespace quellon
