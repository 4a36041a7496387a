// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quellon::testing {

// A file system image made inside a test's own folder and loop-mounted there, for tests that look
// at what a wipe leaves on a real device. Needs root and loop devices; `whyUnavailable` says what
// is missing so the test can skip visibly.
class LoopImage {
public:
    // Makes `sizeMiB` MiB of zeros at `folder`/image, runs `mkfsCommand` on it (e.g. "mkfs.ext4 -q -F")
    // and mounts it at `folder`/mnt with `mountOptions` (may be empty). `error()` tells what failed.
    LoopImage(const std::string& folder, std::size_t sizeMiB, const std::string& mkfsCommand,
        const std::string& mountOptions);
    ~LoopImage();
    LoopImage(const LoopImage&) = delete;
    LoopImage& operator=(const LoopImage&) = delete;

    // Empty when the image could not be used on this machine; otherwise why not.
    static std::string whyUnavailable(const std::string& mkfsTool);

    const std::string& error() const { return error_; }
    const std::string& mountPoint() const { return mountPoint_; }

    // Unmounts (flushing everything to the image); returns false on failure.
    bool unmount();
    // How many times `needle` occurs in the raw image (read after unmount).
    std::size_t countInImage(const std::string& needle) const;
    // `length` bytes of the raw image from byte `offset`, while it is mounted too: what the loop
    // device has been sent so far, not what the mounted file system still holds in memory. Short
    // at the end of the image; empty when it cannot be read.
    std::string readRaw(std::uint64_t offset, std::size_t length) const;

private:
    std::string image_;
    std::string mountPoint_;
    std::string error_;
    bool mounted_ = false;
};

// Runs a shell command; true when it exits with status 0. Output goes to the test log.
bool runCommand(const std::string& command);

} // namespace quellon::testing
