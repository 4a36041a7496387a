// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "BlockMap.h"
#include "FileSystem.h"
#include "StopReason.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quellon {

// What decides whether overwriting a file in place reaches the blocks that hold its old data,
// learnt from the open file. Everything here comes through the FileSystem interface, so the
// decision itself (WhyOverwriteCannotReach) can be tested with made-up facts.
struct StorageFacts {
    std::uint64_t magic = 0;           // statfs f_type of the file's file system
    std::string type;                  // its type as mounted ("ext4", "fuse.sshfs"); empty when not known
    std::string options;               // its options, comma separated ("rw,data=journal"); empty when not known
    bool journalDataAttribute = false; // the file has the journal-data attribute (chattr +j)
    bool sharedExtents = false;        // some of its blocks are shared with another file (FIEMAP)
    bool inlineData = false;           // its data is kept inside the file system's metadata (FIEMAP)
    std::uint64_t freeBytes = 0;       // space the wipe may still fill on the file system
    std::uint64_t blockSize = 0;       // its block size (statfs f_bsize), the unit space is given in
};

// Why an in-place overwrite cannot reach the old data of a file with these facts (Stop::OutOfReach,
// with the kind of storage and the name of its file system where that is the reason); nothing when
// it can.
[[nodiscard]] std::optional<StopReason> WhyOverwriteCannotReach(const StorageFacts& facts);

// Why a file on a file system with these facts is not stored data at all but a kernel interface
// (proc, sysfs, cgroup...), where a write acts instead of storing (Stop::KernelInterface, with the
// file system's name); nothing for a file system that stores data.
[[nodiscard]] std::optional<StopReason> WhyNotStoredData(const StorageFacts& facts);

// Learns the facts of the file system that holds `fd` (whose fstat is `st`): its magic, and its
// mount type and options from the mount table (and ext4's own list of options), and its free space. Works on a
// descriptor opened with O_PATH. On failure returns the failed call; a mount entry that cannot be
// seen leaves type and options empty.
[[nodiscard]] std::optional<StopReason> GatherFileSystemFacts(
    FileSystem& files, int fd, const struct stat& st, StorageFacts& facts);

// Adds the facts of the open regular file `fd` itself to those of its file system: its attribute
// flags, and from its block map `map` (empty where the file system offers none) whether it shares
// blocks or keeps its data inline. Attributes that a file system does not offer are left unset.
[[nodiscard]] std::optional<StopReason> GatherFileFacts(
    FileSystem& files, int fd, const BlockMap& map, StorageFacts& facts);

// One line of /proc/self/mountinfo, reduced to what the check uses. The check reads the table
// through FileSystem::ReadSmallFile and parses it here; the parser is declared for its own tests.
struct MountInfoLine {
    unsigned major = 0;
    unsigned minor = 0;
    std::string type;
    std::string superOptions;
};
std::optional<MountInfoLine> ParseMountInfoLine(std::string_view line);

} // namespace quellon
