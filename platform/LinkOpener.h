// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <string>

namespace quellon {

// Hands a link such as "mailto:someone@example.org" to the desktop, which opens it in the user's
// program for it. Whether that worked is not reported: nothing in the program depends on it.
class LinkOpener {
public:
    virtual ~LinkOpener() = default;
    virtual void Open(const std::string& link) = 0;
};

} // namespace quellon
