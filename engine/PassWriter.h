// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "FileRipper.h"
#include "FileSystem.h"
#include "StopReason.h"
#include "Watch.h"
#include "WipeSupport.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace quellon {

// Writes a phase's pattern over the whole of one pass, in large chunks from one buffer, and tells
// the observer how far the pass has got.
class PassWriter {
public:
    PassWriter(FileSystem& files, const std::string& path, WipeObserver* observer, Watch& watch)
        : files_(files), path_(path), observer_(observer), watch_(watch)
    {
    }

    // Every pass covers bytes [0, extent): memory for the buffer. Fails only when memory is short.
    [[nodiscard]] std::optional<StopReason> plan(std::uint64_t extent);
    // The buffer filled with the pattern of `phase` (1 to 4).
    void fill(int phase);
    // Writes the buffer's pattern over bytes [0, extent) of `fd` for `pass`, looping over short
    // writes; for a file of several chunks, each is sent on its way to the disk as it is written.
    [[nodiscard]] std::optional<StopReason> writeAll(int fd, int pass);
    // Tells the observer how far `pass` has got, at most every 50 ms unless `force`.
    void report(int pass, std::uint64_t done, bool force);
    [[nodiscard]] std::uint64_t extent() const { return extent_; }

private:
    FileSystem& files_;
    const std::string& path_;
    WipeObserver* observer_;
    Watch& watch_;
    std::uint64_t extent_ = 0;
    std::uint64_t bufferFill_ = 0; // bytes of the buffer that hold the pattern
    detail::AlignedBuffer buffer_;
    std::chrono::steady_clock::time_point lastReport_{};
};

} // namespace quellon
