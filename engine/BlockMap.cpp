// SPDX-License-Identifier: GPL-3.0-or-later

// A file's block map (FIEMAP): reading it whole, and comparing two readings.

#include "BlockMap.h"

#include "WipeSupport.h"

#include <cerrno>

#include <linux/fiemap.h>

namespace quellon {
namespace {

using detail::NotOffered;

constexpr std::uint32_t kExtentsPerCall = 64;

// Extents without a known place on the device.
constexpr std::uint32_t kNoPlace = FIEMAP_EXTENT_DELALLOC | FIEMAP_EXTENT_UNKNOWN;

// Whether an extent held data that is on the device: preallocated (unwritten) extents hold none.
bool heldData(const Extent& extent)
{
    return (extent.flags & (kNoPlace | FIEMAP_EXTENT_UNWRITTEN)) == 0;
}

} // namespace

int ReadBlockMap(FileSystem& files, int fd, bool flushFirst, BlockMap& map)
{
    map.clear();
    std::vector<Extent> extents;
    std::uint64_t start = 0;
    for (;;) {
        if (int rc = files.MapExtents(fd, start, kExtentsPerCall, flushFirst && start == 0, extents); rc < 0)
            return NotOffered(-rc) ? -EOPNOTSUPP : rc;
        if (extents.empty())
            return 0;
        map.insert(map.end(), extents.begin(), extents.end());
        const Extent& last = extents.back();
        const std::uint64_t next = last.logical + last.length;
        if ((last.flags & FIEMAP_EXTENT_LAST) != 0 || next <= start)
            return 0;
        start = next;
    }
}

bool StillInPlace(const BlockMap& before, const BlockMap& now)
{
    auto next = now.begin();
    for (const Extent& old : before) {
        if (!heldData(old))
            continue;
        const std::uint64_t end = old.logical + old.length;
        std::uint64_t at = old.logical;
        while (next != now.end() && next->logical + next->length <= at)
            ++next;
        // Walk the extents of `now` that cover [at, end): no gap, each at the old place.
        for (auto it = next; at < end; ++it) {
            if (it == now.end() || it->logical > at || (it->flags & kNoPlace) != 0)
                return false;
            if (it->physical + old.logical != old.physical + it->logical)
                return false;
            at = it->logical + it->length;
        }
    }
    return true;
}

} // namespace quellon
