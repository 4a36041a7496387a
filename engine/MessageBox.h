// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <string>

namespace quellon {

// Flag and result values of the message box, as the classic Win32 message box numbers them.
inline constexpr int MB_OK = 0x0;
inline constexpr int MB_YESNO = 0x4;
inline constexpr int MB_ICONERROR = 0x10;
inline constexpr int MB_ICONINFORMATION = 0x40;

inline constexpr int IDOK = 1;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// The program's title; a message box shown with an empty title carries it.
inline constexpr const char* kApplicationTitle = "Quellon";

// A modal message box: shows `prompt` (lines end in CR LF) with the buttons and icon that `flags`
// asks for and returns the button pressed (IDOK, IDYES or IDNO). The engine knows only this
// interface; the window implements it with Qt, the console harness with stderr, tests with a
// recording fake.
class MessageBox {
public:
    virtual ~MessageBox() = default;
    virtual int Show(const std::string& prompt, int flags, const std::string& title) = 0;
};

} // namespace quellon
