// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "LinkOpener.h"

namespace quellon {

// Opens links through QDesktopServices::openUrl.
class DesktopLinkOpener final : public LinkOpener {
public:
    void Open(const std::string& link) override;
};

} // namespace quellon
