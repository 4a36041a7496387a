// SPDX-License-Identifier: GPL-3.0-or-later

// The error report's text, byte for byte, and the box it is shown in.

#include "ErrorReport.h"
#include "RecordingMessageBox.h"
#include "Rows.h"

#include <gtest/gtest.h>

namespace quellon {
namespace {

using testing::PrintTo;
using testing::RowName;

struct ReportCase {
    const char* name;
    ErrorInfo error;
    std::string expected;
};

const std::string kTail = "\r\n\r\n\tSend the error information above to be at support@quellon.example";

class ErrorReportText_ : public ::testing::TestWithParam<ReportCase> {};

TEST_P(ErrorReportText_, IsByteForByte)
{
    EXPECT_EQ(ErrorReportText(GetParam().error), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Reports, ErrorReportText_,
    ::testing::Values(ReportCase{"a_typical_failure", {53, "File not found", "FileRipper"},
                          "Error description: File not found\r\nError Source: FileRipper\r\nError Number: 53" + kTail},
        ReportCase{"empty_description_and_source_keep_the_labels_space", {0, "", ""},
            "Error description: \r\nError Source: \r\nError Number: 0" + kTail},
        ReportCase{"a_negative_number_keeps_its_minus_sign", {-2147483647 - 1, "x", "y"},
            "Error description: x\r\nError Source: y\r\nError Number: -2147483648" + kTail},
        ReportCase{"line_ends_inside_the_description_pass_through", {5, "first\r\nsecond\n", "a\tb"},
            "Error description: first\r\nsecond\n\r\nError Source: a\tb\r\nError Number: 5" + kTail}),
    RowName<ReportCase>);

TEST(ShowErrorReport, ShowsOneErrorBoxTitledError)
{
    testing::RecordingMessageBox box;
    const ErrorInfo error{13, "Cannot open \"x\" for writing: Permission denied", "FileRipper"};
    ShowErrorReport(box, error);
    ASSERT_EQ(box.shown.size(), 1u);
    EXPECT_EQ(box.shown[0].title, "ERROR");
    EXPECT_EQ(box.shown[0].flags, MB_ICONERROR);
    EXPECT_EQ(box.shown[0].prompt, ErrorReportText(error));
}

} // namespace
} // namespace quellon
