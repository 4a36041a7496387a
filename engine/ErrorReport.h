// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "ErrorInfo.h"
#include "MessageBox.h"

#include <string>

namespace quellon {

// The address the error report asks the user to write to; the window's contact label shows it too.
inline constexpr const char* kSupportAddress = "support@quellon.example";

// The five-line text of the error report: description, source, number, an empty line and the
// tab-indented request to send them to kSupportAddress. Lines end in CR LF; none follows the last.
std::string ErrorReportText(const ErrorInfo& error);

// Shows the error report in a modal box titled "ERROR" with flags MB_ICONERROR and returns when the
// user has dismissed it.
void ShowErrorReport(MessageBox& box, const ErrorInfo& error);

} // namespace quellon
