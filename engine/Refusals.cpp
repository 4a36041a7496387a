// SPDX-License-Identifier: GPL-3.0-or-later

// The facts gathered before the first write and the one verdict on them.

#include "Refusals.h"

#include "Passes.h"
#include "WipeSupport.h"

#include <algorithm>
#include <cerrno>
#include <limits>

#include <fcntl.h>
#include <unistd.h>

namespace quellon {
namespace {

using detail::kPageSize;

std::uint64_t sizeOf(const struct stat& st)
{
    return st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

std::uint64_t blockOf(const FileFacts& facts)
{
    return facts.storage.blockSize > 0 ? facts.storage.blockSize : kPageSize;
}

std::optional<StopReason> refusalBeforeOpening(const FileFacts& facts)
{
    const struct stat& named = facts.named;
    if (facts.viaLink && S_ISDIR(named.st_mode))
        return StopReason{.stop = Stop::LinkToFolder, .name = facts.linkTarget};
    if (facts.viaLink && !S_ISREG(named.st_mode))
        return StopReason{.stop = Stop::LinkToNonRegular, .name = facts.linkTarget};
    if (!S_ISREG(named.st_mode))
        return StopReason{.stop = Stop::NotRegular};
    if (auto why = WhyNotStoredData(facts.storage))
        return why;
    if (auto why = WhyOverwriteCannotReach(facts.storage))
        return why;
    if (facts.mountRoot || facts.folder.st_dev != named.st_dev)
        return StopReason{.stop = Stop::MountPoint};
    if (named.st_nlink > 1)
        return StopReason{.stop = Stop::HardLinks, .found = static_cast<std::uint64_t>(named.st_nlink) - 1};
    // `found` 1: not writable for this user only (the file's permissions, another owner).
    if (!facts.writable)
        return StopReason{.stop = Stop::ReadOnly, .found = 1};
    return std::nullopt;
}

std::optional<StopReason> refusalOnceOpened(const FileFacts& facts)
{
    // Opened through the descriptor that names it (the kernel follows the descriptor, not a name),
    // it is the very regular file judged before opening.
    const struct stat& st = facts.opened;
    // Before the lease and the block map, only the file's change time and size can tell whether
    // another program wrote to it, cut it or punched a hole in it since it was first looked at.
    const struct stat& first = facts.firstLook;
    if (st.st_size != first.st_size || st.st_ctim.tv_sec != first.st_ctim.tv_sec ||
        st.st_ctim.tv_nsec != first.st_ctim.tv_nsec)
        return StopReason{.stop = Stop::ChangedAtStart};
    if ((st.st_mode & 0222) == 0)
        return StopReason{.stop = Stop::ReadOnly};
    if (auto why = WhyOverwriteCannotReach(facts.storage))
        return why;
    const std::uint64_t block = blockOf(facts);
    const std::uint64_t length = sizeOf(st);
    if (length > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) - block)
        return StopReason{.stop = Stop::TooLarge};
    // A sparse file's holes get blocks of their own in the first pass: refuse it before any write
    // if they cannot all fit, rather than fill the disk and stop halfway. A file without holes
    // needs at most the slack of its last block, which its last block already has.
    const std::uint64_t allocated = st.st_blocks > 0 ? static_cast<std::uint64_t>(st.st_blocks) * 512 : 0;
    const std::uint64_t needed = detail::roundUp(length, block);
    const std::uint64_t free = facts.storage.freeBytes;
    if (needed > allocated && needed - allocated > free)
        return StopReason{.stop = Stop::NoSpaceForHoles, .expected = needed - allocated, .found = free};
    return std::nullopt;
}

} // namespace

std::optional<StopReason> Refusal(const FileFacts& facts, Stage stage)
{
    switch (stage) {
    case Stage::BeforeOpening: return refusalBeforeOpening(facts);
    case Stage::Opened: return refusalOnceOpened(facts);
    }
    return std::nullopt;
}

std::optional<StopReason> GatherBeforeOpening(
    FileSystem& files, int pin, int folder, const std::string& name, FileFacts& facts)
{
    if (auto failed = GatherFileSystemFacts(files, pin, facts.named, facts.storage))
        return failed;
    if (int rc = files.StatAt(folder, ".", facts.folder); rc < 0)
        return Failed(Call::ReadFolderAttributes, -rc);
    const int mountRoot = files.IsMountRoot(pin);
    if (mountRoot < 0)
        return Failed(Call::ReadAttributes, -mountRoot);
    facts.mountRoot = mountRoot == 1;
    // Whether the file may be deleted shows at the delete: the overwrite comes first, so its
    // content is gone even where the name must stay.
    facts.writable = files.Access(folder, name, W_OK) != -EACCES;
    facts.readable = files.Access(folder, name, R_OK) != -EACCES;
    return std::nullopt;
}

std::optional<StopReason> GatherAfterOpening(FileSystem& files, int fd, const BlockMap& map, FileFacts& facts)
{
    if (int rc = files.StatWithChangeTime(fd, "", facts.opened); rc < 0)
        return Failed(Call::ReadAttributes, -rc);
    return GatherFileFacts(files, fd, map, facts.storage);
}

std::uint64_t PassExtent(const FileFacts& facts)
{
    const std::uint64_t length = sizeOf(facts.opened);
    const std::uint64_t extent = detail::roundUp(std::max<std::uint64_t>(length, kLongestPattern), blockOf(facts));
    // An empty file holds no data to overwrite: on a full disk its passes write nothing.
    if (length == 0 && facts.opened.st_blocks == 0 && facts.storage.freeBytes < extent)
        return 0;
    return extent;
}

} // namespace quellon
