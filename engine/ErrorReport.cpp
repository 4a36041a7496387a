// SPDX-License-Identifier: GPL-3.0-or-later

// The error report: its five lines of text, and showing it in a modal box.

#include "ErrorReport.h"

namespace quellon {

std::string ErrorReportText(const ErrorInfo& error)
{
    std::string text;
    text += "Error description: ";
    text += error.Description;
    text += "\r\nError Source: ";
    text += error.Source;
    text += "\r\nError Number: ";
    text += std::to_string(error.Number);
    text += "\r\n\r\n\tSend the error information above to be at ";
    text += kSupportAddress;
    return text;
}

void ShowErrorReport(MessageBox& box, const ErrorInfo& error)
{
    box.Show(ErrorReportText(error), MB_ICONERROR, "ERROR");
}

} // namespace quellon
