// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "ErrorInfo.h"
#include "StopReason.h"

#include <string>

namespace quellon {

// The report the user reads for a wipe of `path` (as the user gave it) that stopped for `reason`:
// its error number and its description, in the words of the error report. Every sentence the
// engine shows is written here and nowhere else.
ErrorInfo ReportFor(const StopReason& reason, const std::string& path);

} // namespace quellon
