// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <cstdint>
#include <string>

namespace quellon {

// The record of one failure. It is built where the failing operation ran and is used only to
// build the error report.
// The component that the reports of the wiping engine name as their source.
inline constexpr const char* kWipeSource = "FileRipper";

struct ErrorInfo {
    std::int32_t Number = 0; // the OS error code (errno) of the failing call
    std::string Description; // what went wrong, in words
    std::string Source;      // the component in which the failure arose
};

} // namespace quellon
