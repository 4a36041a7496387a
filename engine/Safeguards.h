#pragma once

#include "ErrorInfo.h"
#include "FileSystem.h"
#include "StorageCheck.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quellon {

// The checks that keep a wipe honest, each returning the failure to report (one report; the file
// is left as it is) or nothing when the wipe may go on.

// Before the path is opened for writing, on a descriptor that only names it (O_PATH, fstat `st`):
// anything but a regular file (a folder, FIFO, socket or device is never opened), and a file system
// where an overwrite cannot reach the old data. These come first because opening for writing can
// itself copy data: an overlay file system copies the file up into its upper layer at that open.
// The file system's facts are left in `facts` for CheckBeforeWiping.
std::optional<ErrorInfo> CheckBeforeOpening(FileSystem& files, int fd, const struct stat& st, const std::string& path,
                                            StorageFacts& facts);

// Before anything is written to a file that existed before the wipe, on its first open descriptor
// `fd` (fstat `st`; `facts` as CheckBeforeOpening found them for the same file), in this order:
//  - no write permission bits at all (mode & 0222 == 0): read-only, also for root;
//  - storage where an overwrite in place cannot reach the old data (StorageCheck.h);
//  - open in another program: a write lease is asked for and given back at once; the kernel refuses
//    it while any other open file refers to the file. Where leases are not available (not the
//    owner and no CAP_LEASE, a file system without leases) the wipe goes on without this check.
std::optional<ErrorInfo> CheckBeforeWiping(FileSystem& files, int fd, const struct stat& st, const std::string& path,
                                           StorageFacts facts);

// After the last pass has been flushed: opens `path` again read-only, makes sure it is still the
// file (`device`, `inode`), and reads bytes [0, extent) back past the page cache (O_DIRECT, or
// dropping the cached pages where O_DIRECT is refused) to compare them with `pattern` repeated from
// byte 0. Any difference, a short file, or a failing step is the failure returned.
std::optional<ErrorInfo> VerifyOverwrite(FileSystem& files, const std::string& path, dev_t device, ino_t inode,
                                         std::uint64_t extent, std::string_view pattern);

// After the delete: flushes the folder that held `path` so that the delete reaches the disk. A file
// system that cannot flush a folder (EINVAL) is left at that.
std::optional<ErrorInfo> FlushFolderOf(FileSystem& files, const std::string& path);

// The folder part of `path` as given: "." for a bare name, "/" for a name in the root.
std::string FolderOf(const std::string& path);

} // namespace quellon
