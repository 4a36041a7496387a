// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "BlockMap.h"
#include "FileSystem.h"
#include "HeldFile.h"
#include "StopReason.h"

#include <cstdint>
#include <optional>

namespace quellon {

// What tells, during a wipe, whether another program changed the file: where its data lay before
// the first write (its block map, read first at the first look), its size, and a write lease that
// the kernel breaks when another program opens the file or truncates it. Each check returns why
// the wipe must stop, or nothing.
class Watch {
public:
    Watch(FileSystem& files, const HeldFile& held) : files_(files), held_(held) {}

    // The first look at the file's blocks, before anything waits: on a descriptor open for reading
    // only, after asking whether another program has the file open for writing (which is not waited
    // for). A file that may not be read is mapped by mapAtFirstOpen instead.
    [[nodiscard]] std::optional<StopReason> mapAtFirstLook();
    // At the first open for writing `fd`: the map where the first look could not read it, the lease
    // (waited for a moment while another program only reads the file), then the map again, which
    // must be the map first read.
    [[nodiscard]] std::optional<StopReason> atFirstOpen(int fd);
    // The lease for `pass` on its descriptor `fd`: held through the first pass and from the last
    // pass to the cut.
    [[nodiscard]] std::optional<StopReason> takeLease(int fd, int pass);
    // Whether the lease held for `pass` is being broken by a writer.
    [[nodiscard]] std::optional<StopReason> checkLease(int fd, int pass);
    // The file open as `fd` must still be `expected` bytes long.
    [[nodiscard]] std::optional<StopReason> checkSize(int fd, std::uint64_t expected, When when);
    // The blocks that held the file's data must still be its blocks, at the same place.
    [[nodiscard]] std::optional<StopReason> checkBlocks(int fd, When when);
    // The file is open elsewhere: by another program, or by Quellon itself as a standard stream.
    [[nodiscard]] StopReason inUse(When when) const;
    // The pass's descriptor is being closed, which gives its lease back.
    void closing() { leased_ = false; }
    // The block map first read (empty where the file system gives none).
    [[nodiscard]] const BlockMap& firstMap() const { return blocks_; }

private:
    [[nodiscard]] std::optional<StopReason> mapBlocks(int fd);

    FileSystem& files_;
    const HeldFile& held_;
    BlockMap blocks_;           // where the file's data lay on the device before the first write
    bool mapped_ = false;       // the file system gave the file's block map
    bool mappedAtLook_ = false; // ... and it was read at the first look, before the open for writing
    bool leasesAvailable_ = false;
    bool leased_ = false; // the pass under way holds a write lease
};

} // namespace quellon
