#pragma once

#include "FaultyFileSystem.h"
#include "ErrorReport.h"
#include "FileRipper.h"
#include "RecordingMessageBox.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace quellon::testing {

// What a refusal of storage that an overwrite cannot reach tells the user to do.
inline const std::string kSeeTheReadme = " See \u201cWhat Quellon can and cannot wipe\u201d in the README.";

// A FileRipper on the real file system seen through a FaultyFileSystem, with a recording message
// box, and a fresh temporary folder for the test's files.
class WipeTest : public ::testing::Test {
protected:
    PosixFileSystem real;
    FaultyFileSystem files{real};
    RecordingMessageBox messages;
    FileRipper ripper{messages, files};
    TempDir dir;

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
