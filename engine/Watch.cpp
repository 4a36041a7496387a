// SPDX-License-Identifier: GPL-3.0-or-later

// Watching the file during a wipe: its block map, its size and the write lease.

#include "Watch.h"

#include "Passes.h"
#include "WipeSupport.h"

#include <cerrno>
#include <chrono>
#include <thread>

#include <fcntl.h>

namespace quellon {
namespace {

using detail::Descriptor;

// The first look at the file's blocks opens it for reading only: that copies nothing up and
// breaks no other program's read lease.
constexpr int kReadFlags = O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;

// How long the first open waits for a program that only reads the file (an indexer, a backup
// tool) to close it again before the file is refused as in use.
constexpr int kLeaseTries = 20;
constexpr auto kLeaseRetry = std::chrono::milliseconds(50);

} // namespace

// Where the file's data lies on the device, read as soon as the file is known to be a regular file
// on storage that an overwrite reaches and before anything waits: every later comparison starts
// from this map, so blocks that another program moves from now on (a defragmenter swapping extents
// leaves size and change time as they were) are never taken for the file's own. A program that has
// the file open for writing is not waited for: it may be moving or rewriting it as we look, and a
// read lease, which Linux grants only while no one has the file open for writing, tells.
std::optional<StopReason> Watch::mapAtFirstLook()
{
    const int fd = held_.open(kReadFlags);
    if (fd == -EACCES)
        return std::nullopt;
    if (fd == -EWOULDBLOCK)
        return inUse(When{});
    if (fd < 0)
        return Failed(Call::Open, -fd);
    Descriptor reader(files_, fd);
    if (int rc = files_.SetLease(fd, F_RDLCK); rc == -EAGAIN)
        return inUse(When{});
    else if (rc == 0 && (rc = files_.SetLease(fd, F_UNLCK)) < 0)
        return Failed(Call::CheckInUse, -rc);
    // Other answers (not the owner, leases off) tell nothing: the lease at the first open judges.
    if (auto error = mapBlocks(fd))
        return error;
    mappedAtLook_ = true;
    if (int rc = files_.Close(reader.release()); rc < 0)
        return Failed(Call::Close, -rc);
    return std::nullopt;
}

std::optional<StopReason> Watch::atFirstOpen(int fd)
{
    if (!mappedAtLook_) {
        if (auto error = mapBlocks(fd))
            return error;
    }
    if (auto error = takeLease(fd, 1))
        return error;
    // Blocks moved while the lease was waited for (by a defragmenter that had the file open) hold
    // the old data where no pass reaches.
    if (auto moved = checkBlocks(fd, When{}); moved && moved->stop == Stop::BlocksMoved)
        return StopReason{.stop = Stop::ChangedAtStart};
    else
        return moved;
}

// Data still waiting in memory for its place is written out first, so that every block that holds
// it is known.
std::optional<StopReason> Watch::mapBlocks(int fd)
{
    const int rc = ReadBlockMap(files_, fd, true, blocks_);
    mapped_ = rc == 0;
    if (rc == -EOPNOTSUPP) {
        blocks_.clear();
        return std::nullopt;
    }
    if (rc < 0)
        return Failed(Call::ReadBlockMap, -rc);
    return std::nullopt;
}

// If another program cut the file, punched a hole in it or had it moved, the old data was left
// behind in blocks that the passes never reach.
std::optional<StopReason> Watch::checkBlocks(int fd, When when)
{
    if (!mapped_)
        return std::nullopt;
    BlockMap now;
    if (int rc = ReadBlockMap(files_, fd, false, now); rc < 0)
        return Failed(Call::ReadBlockMap, -rc, when);
    if (StillInPlace(blocks_, now))
        return std::nullopt;
    return StopReason{.stop = Stop::BlocksMoved, .when = when};
}

// A write lease tells us when another program opens the file: the kernel cannot grant it while
// any other descriptor is open on the file, and breaks it when one is opened or the file is
// truncated. It is held where a change would otherwise go unseen: through the first pass (the old
// content is still there) and from the last pass to the cut (nothing overwrites the file after
// it). Whatever another program does in between is overwritten by the passes that follow, and
// the size, the block map and the read-back before the cut show anything they cannot reach.
// Before the first write, a program holding the file open is waited for briefly and then refused.
// Once the wipe has started, a program that has opened the file (an indexer, a virus scanner)
// never stops it: the last pass goes ahead without the lease, and the checks before the cut judge.
std::optional<StopReason> Watch::takeLease(int fd, int pass)
{
    leased_ = false;
    if (pass > 1 && (!leasesAvailable_ || pass < kPasses))
        return std::nullopt;
    const bool strict = pass == 1;
    int rc = files_.SetLease(fd, F_WRLCK);
    for (int tries = 1; rc == -EAGAIN && strict && tries < kLeaseTries; ++tries) {
        std::this_thread::sleep_for(kLeaseRetry);
        rc = files_.SetLease(fd, F_WRLCK);
    }
    if (rc == 0) {
        leasesAvailable_ = true;
        leased_ = true;
        return std::nullopt;
    }
    if (rc == -EAGAIN)
        return strict ? std::optional<StopReason>(inUse(When{})) : std::nullopt;
    // Leases not available here: not the owner without CAP_LEASE (EACCES), a file system or a
    // system that offers none (EINVAL, leases-enable off). The wipe goes on without them.
    if (pass == 1 && (rc == -EACCES || rc == -EPERM || rc == -EINVAL || rc == -ENOSYS || rc == -EOPNOTSUPP))
        return std::nullopt;
    // The first pass's lease is taken at the first open, before anything is written.
    return Failed(Call::CheckInUse, -rc, pass == 1 ? When{} : When::inPass(pass));
}

// While the lease is being broken, the kernel tells what the other program asked for: a read
// (F_RDLCK) changes nothing, and that program simply waits until this pass closes the file; a
// write or a truncate (F_UNLCK) stops the wipe before the other program can go ahead.
std::optional<StopReason> Watch::checkLease(int fd, int pass)
{
    if (!leased_)
        return std::nullopt;
    const int type = files_.GetLease(fd);
    if (type < 0)
        return Failed(Call::CheckInUse, -type, When::inPass(pass));
    if (type == F_UNLCK)
        return StopReason{.stop = Stop::OpenedForWriting, .when = When::inPass(pass)};
    return std::nullopt;
}

std::optional<StopReason> Watch::checkSize(int fd, std::uint64_t expected, When when)
{
    struct stat st {};
    if (int rc = files_.Stat(fd, st); rc < 0)
        return Failed(Call::ReadAttributes, -rc, when);
    const std::uint64_t size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    if (size == expected)
        return std::nullopt;
    return StopReason{.stop = Stop::Resized, .when = when, .expected = expected, .found = size};
}

StopReason Watch::inUse(When when) const
{
    static constexpr const char* kStreams[] = {"standard input", "standard output", "standard error"};
    for (int stream = 0; stream < 3; ++stream) {
        struct stat st {};
        if (files_.Stat(stream, st) == 0 && held_.is(st))
            return StopReason{.stop = Stop::InUse, .when = when, .name = kStreams[stream]};
    }
    return StopReason{.stop = Stop::InUse, .when = when};
}

} // namespace quellon
