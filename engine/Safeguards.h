// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "FileSystem.h"
#include "StopReason.h"
#include "StorageCheck.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quellon {

// The checks that keep a wipe honest, each returning why the wipe must stop (one report; the file
// is left as it is) or nothing when the wipe may go on.

// Before the path is opened for writing, on a descriptor that only names it (O_PATH, fstat `st`):
// anything but a regular file (a folder, FIFO, socket or device is never opened), a kernel interface
// (a file of proc, sysfs, cgroup...), and a file system where an overwrite cannot reach the old data. These come first
// because opening for writing can itself copy data: an overlay file system copies the file up into its upper layer at
// that open. The file system's facts are left in `facts` for CheckBeforeWiping.
[[nodiscard]] std::optional<StopReason> CheckBeforeOpening(
    FileSystem& files, int fd, const struct stat& st, StorageFacts& facts);

// Before anything is written, on the file's first open descriptor `fd` (fstat `st`, block map `map`;
// `facts` as CheckBeforeOpening found them for the same file), in this order:
//  - no write permission bits at all (mode & 0222 == 0): read-only, also for root;
//  - storage where an overwrite in place cannot reach the old data (StorageCheck.h).
// Whether another program has the file open is asked by the wipe itself, with the lease it holds.
[[nodiscard]] std::optional<StopReason> CheckBeforeWiping(
    FileSystem& files, int fd, const struct stat& st, const BlockMap& map, StorageFacts facts);

// After the last pass has been flushed: reads bytes [0, extent) of the open file `fd` (open for
// reading too) back past the page cache (direct I/O set on the descriptor, or dropping the cached
// pages where direct I/O is refused) and compares them with `pattern` repeated from byte 0. A
// difference is Stop::ReadBackDiffers, a short file Stop::ReadBackShort; a failing step is the
// failed call Call::ReadBack.
[[nodiscard]] std::optional<StopReason> VerifyOverwrite(
    FileSystem& files, int fd, std::uint64_t extent, std::string_view pattern);

// The folder part of `path` as given: "." for a bare name, "/" for a name in the root.
std::string FolderOf(const std::string& path);

} // namespace quellon
