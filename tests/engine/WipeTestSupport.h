// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "ErrorReport.h"
#include "FaultyFileSystem.h"
#include "FileRipper.h"
#include "RecordingMessageBox.h"
#include "Rows.h"
#include "TempDir.h"
#include "Words.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace quellon {

// A reason prints as its facts and the report it makes for a path "P", so that a failing test
// shows both (enumerators by their number).
inline void PrintTo(const StopReason& reason, std::ostream* out)
{
    const ErrorInfo report = ReportFor(reason, "P");
    *out << "{stop " << static_cast<int>(reason.stop) << ", call " << static_cast<int>(reason.call) << ", err "
         << reason.err << ", stage " << static_cast<int>(reason.when.stage) << ", pass " << reason.when.pass
         << ", left " << static_cast<int>(reason.left) << ", reach " << static_cast<int>(reason.reach) << ", name \""
         << reason.name << "\", " << reason.expected << ", " << reason.found << ": " << report.Description << "}";
}

} // namespace quellon

namespace quellon::testing {

// The path as the report shows it, in double quotes.
inline std::string quoted(const std::string& path)
{
    return "\"" + path + "\"";
}

// Exactly one error report, in the box titled "ERROR" with the error icon, with `number` and this
// whole `description`.
inline void expectOneReport(const RecordingMessageBox& messages, int number, const std::string& description)
{
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].title, "ERROR");
    EXPECT_EQ(messages.shown[0].flags, MB_ICONERROR);
    EXPECT_EQ(messages.shown[0].prompt, ErrorReportText({number, description, FileRipper::kSource}));
}

// Exactly one error report, in the box titled "ERROR" with the error icon, saying `report`.
inline void expectOneReport(const RecordingMessageBox& messages, const ErrorInfo& report)
{
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].title, "ERROR");
    EXPECT_EQ(messages.shown[0].flags, MB_ICONERROR);
    EXPECT_EQ(messages.shown[0].prompt, ErrorReportText(report));
}

// Exactly one error report, with `number`, whose description holds each of `mentions`: for reports
// whose whole text another test pins (refusals: see the table in FileRipperTest.cpp).
inline void expectOneReportSaying(
    const RecordingMessageBox& messages, int number, const std::vector<std::string>& mentions)
{
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].title, "ERROR");
    const std::string& prompt = messages.shown[0].prompt;
    EXPECT_NE(prompt.find("\r\nError Number: " + std::to_string(number) + "\r\n"), std::string::npos) << prompt;
    for (const std::string& mention : mentions)
        EXPECT_NE(prompt.find(mention), std::string::npos) << "missing: " << mention << "\nin: " << prompt;
}

// How a refusal's description goes on after the reason: nothing of the file was touched.
inline const std::string kNotWiped = ", so it was not wiped";
inline const std::string kNothingWiped = ", so nothing was wiped";

// What a refusal of storage that an overwrite cannot reach tells the user to do.
inline const std::string kSeeTheReadme = " See \u201cWhat Quellon can and cannot wipe\u201d in the README.";

// A wipe on the real file system seen through a FaultyFileSystem, and a fresh temporary folder for
// the test's files. `wipe` keeps why the wipe stopped in `stopped`; `ripper` shows the report in
// `messages`, for tests of the report itself.
class WipeTest : public ::testing::Test {
protected:
    PosixFileSystem real;
    FaultyFileSystem files{real};
    RecordingMessageBox messages;
    FileRipper ripper{messages, files};
    TempDir dir;
    std::optional<StopReason> stopped;

    WipeOutcome wipe(const std::string& path, WipeObserver* observer = nullptr)
    {
        return WipeFile(files, path, observer, stopped);
    }

    // The wipe stopped for `stop`, whatever the facts.
    void expectStop(Stop stop) const
    {
        ASSERT_TRUE(stopped.has_value()) << "the wipe did not stop";
        EXPECT_EQ(stopped->stop, stop) << ::testing::PrintToString(*stopped);
    }

    // `pattern` repeated from its first byte and cut at `length`.
    static std::string repeated(std::string_view pattern, std::size_t length)
    {
        std::string out;
        while (out.size() < length)
            out.append(pattern.substr(0, length - out.size()));
        return out;
    }

    // Bytes every pass covers: the old length or a pattern, rounded up to whole blocks.
    static std::size_t extentFor(std::size_t length, std::size_t block)
    {
        const std::size_t covered = std::max<std::size_t>(length, 22);
        return (covered + block - 1) / block * block;
    }
};

} // namespace quellon::testing
