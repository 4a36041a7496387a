// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// What must not be wiped, decided from facts: everything known of the file before its first write
// is gathered into one value, in two stages, by gatherers that fail only when a call fails; one pure
// function of those facts then gives the verdict, in the order the README lists the refusals.

#include "BlockMap.h"
#include "FileSystem.h"
#include "StopReason.h"
#include "StorageCheck.h"

#include <cstdint>
#include <optional>
#include <string>

#include <sys/stat.h>

namespace quellon {

struct FileFacts {
    // Before the file is opened for writing (or read at all).
    struct stat firstLook {}; // the path as first looked at, with its change time (through a link: the file)
    struct stat named {};     // the file the kernel opened the path to (fstat of the descriptor naming it)
    bool viaLink = false;     // the path is a symbolic link
    std::string linkTarget;   // where it led, as the kernel found it
    struct stat folder {};    // the file's folder
    bool mountRoot = false;   // something is mounted on the file itself
    bool writable = true;     // this user may write it (access)
    bool readable = true;     // this user may read it, so the last pass is read back
    StorageFacts storage;     // its file system, and from the first open on the file's own attributes
    // From the first open for writing on.
    struct stat opened {}; // fstat of that descriptor, with its change time
};

enum class Stage {
    BeforeOpening, // nothing of the file opened but a descriptor that names it
    Opened,        // open for writing, nothing written
};

// Why the file must not be wiped, judged at `stage`; nothing when it may be.
// Before opening, in this order: a link to a folder or to anything but a regular file, anything but
// a regular file, a kernel interface, a file system where an overwrite cannot reach the old data
// (these first, because opening can itself copy data: overlay copies the file up at that open), a
// mount point, other names (hard links), no write permission for this user.
// Once opened (the very file judged before opening): a change since the first look (size, change
// time), no write permission bits at all (read-only also for root), storage the overwrite cannot
// reach as the file's own attributes show, a file too large for a pass, and a sparse file whose
// holes do not fit in the free space.
[[nodiscard]] std::optional<StopReason> Refusal(const FileFacts& facts, Stage stage);

// The facts of the first stage, from the descriptor `pin` that names the file and the folder `folder`
// that holds it as `name`. Fails only when a call fails.
[[nodiscard]] std::optional<StopReason> GatherBeforeOpening(
    FileSystem& files, int pin, int folder, const std::string& name, FileFacts& facts);

// The facts of the second stage, from the file's first descriptor open for writing `fd` and its block
// map `map` (empty where the file system gives none). Fails only when a call fails.
[[nodiscard]] std::optional<StopReason> GatherAfterOpening(
    FileSystem& files, int fd, const BlockMap& map, FileFacts& facts);

// The bytes each pass writes over the opened file: the whole file and the slack of its last block of
// the file system (not the preferred I/O size, which can be megabytes: XFS with largeio, a RAID
// stripe), at least one pattern; nothing for an empty file with no block free, which holds no data.
[[nodiscard]] std::uint64_t PassExtent(const FileFacts& facts);

} // namespace quellon
