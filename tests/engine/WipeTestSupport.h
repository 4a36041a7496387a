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

// Exactly one error report, in the box titled "ERROR" with the error icon, saying `report`.
inline void expectOneReport(const RecordingMessageBox& messages, const ErrorInfo& report)
{
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].title, "ERROR");
    EXPECT_EQ(messages.shown[0].flags, MB_ICONERROR);
    EXPECT_EQ(messages.shown[0].prompt, ErrorReportText(report));
}

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
};

} // namespace quellon::testing
