// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <cstdint>
#include <string>

namespace quellon {

// The component that the reports of the wiping engine name as their source.
inline constexpr const char* kWipeSource = "FileRipper";

// The record of one failure, as the error report shows it. The engine's are made from a reason for
// stopping by ReportFor (Words.h).
struct ErrorInfo {
    std::int32_t Number = 0; // the OS error code (errno) of the failing call
    std::string Description; // what went wrong, in words
    std::string Source;      // the component in which the failure arose
};

} // namespace quellon
