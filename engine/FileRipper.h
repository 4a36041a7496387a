// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "ErrorInfo.h"
#include "FileSystem.h"
#include "MessageBox.h"
#include "Passes.h"
#include "StopReason.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quellon {

// Where a wipe has got to; handed to WipeObserver::Progress.
struct WipeProgress {
    std::string_view path;
    int pass = 0;                // 1 to 44, counted over all four phases
    std::uint64_t bytesDone = 0; // of this pass
    std::uint64_t bytesTotal = 0;
};

// Optional listener for one wipe. Progress is called at the end of every pass and, within a long
// pass, at most about every 50 ms. CancelRequested is asked after each pass has been flushed and
// closed; answering true stops the wipe there, leaving the file overwritten by the passes done.
class WipeObserver {
public:
    virtual ~WipeObserver() = default;
    virtual void Progress(const WipeProgress& progress) = 0;
    virtual bool CancelRequested() = 0;
};

enum class WipeOutcome {
    Wiped,     // overwritten 44 times, flushed and deleted
    Failed,    // a step failed; the error report has been shown and dismissed
    Cancelled, // the observer asked to stop; the file is left as the finished passes made it
};

// One wipe of the file at `path` through `files`, as FileRipper::Wipe makes it, without the report:
// how it ended, and in `reason` why it stopped when it failed (Words.h words it).
WipeOutcome WipeFile(
    FileSystem& files, const std::string& path, WipeObserver* observer, std::optional<StopReason>& reason);

// The wiping engine. It keeps nothing from one call to the next; the one object serves any number
// of wipes. Failures are reported to the user through `messages` with the error report and never
// reach the caller as anything but WipeOutcome::Failed.
class FileRipper {
public:
    static constexpr int kPhases = quellon::kPhases;
    static constexpr int kPassesPerPhase = quellon::kPassesPerPhase;
    static constexpr int kPasses = quellon::kPasses;

    FileRipper(MessageBox& messages, FileSystem& files);

    // Overwrites the file at `path` in four phases of 11 flushed passes over its whole length, cuts it
    // to the last pattern (CR LF) and deletes it. A symbolic link is followed once to its file, which
    // is wiped, and the link is removed after it. Nothing is ever created: a path that names nothing
    // is reported. Any failure shows one error report, stops at once (nothing retried, the file not
    // deleted) and returns normally.
    void CleanQuellon(const std::string& path);

    // The same wipe, telling `observer` (may be null) how it goes, and saying how it ended.
    WipeOutcome Wipe(const std::string& path, WipeObserver* observer);

    // The file system every wipe goes through, for a caller that looks at the files it will wipe.
    [[nodiscard]] FileSystem& Files() const { return files_; }

private:
    MessageBox& messages_;
    FileSystem& files_;
};

} // namespace quellon
