// SPDX-License-Identifier: GPL-3.0-or-later

// The read-back of the last pass, past the page cache.

#include "ReadBack.h"

#include "WipeSupport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <numeric>
#include <optional>
#include <string>

#include <fcntl.h>

namespace quellon {
namespace {

using namespace detail;

// Bytes read back per call; memory for the check stays near twice this.
constexpr std::size_t kReadChunk = std::size_t{1} << 20;
// The status flags of the descriptor while the file is read back: past the page cache, and back.
constexpr int kDirectFlags = O_NONBLOCK | O_DIRECT;
constexpr int kCachedFlags = O_NONBLOCK;

// Reads an open file back past the page cache: with direct I/O where the file system allows it;
// otherwise the file's cached pages, clean since the flush, are dropped so that the reads come
// from the device.
class ReadBack {
public:
    ReadBack(FileSystem& files, int fd) : files_(files), fd_(fd) {}

    // Sets direct I/O on the descriptor, or falls back to reading through the emptied cache.
    [[nodiscard]] std::optional<StopReason> openForReadBack()
    {
        if (int rc = files_.SetStatusFlags(fd_, kDirectFlags); rc == -EINVAL)
            return readCached();
        else if (rc < 0)
            return failed(-rc);
        return std::nullopt;
    }

    // Reads bytes [offset, offset + size) into `into`, looping over short reads; a file that ends
    // before `extent` is reported.
    [[nodiscard]] std::optional<StopReason> readChunk(
        char* into, std::uint64_t size, std::uint64_t offset, std::uint64_t extent)
    {
        std::uint64_t have = 0;
        while (have < size) {
            const ssize_t got = files_.ReadAt(fd_, into + have, size - have, static_cast<off_t>(offset + have));
            if (got == -EINVAL && direct_) {
                // Direct I/O refused for this read after all: read through the emptied page cache.
                if (auto error = readCached())
                    return error;
                continue;
            }
            if (got < 0)
                return failed(static_cast<int>(-got));
            if (got == 0)
                return StopReason{.stop = Stop::ReadBackShort, .expected = extent, .found = offset + have};
            have += static_cast<std::uint64_t>(got);
        }
        return std::nullopt;
    }

    // Gives the descriptor back its usual status flags (again, where the cache was already used).
    [[nodiscard]] std::optional<StopReason> finish()
    {
        if (int rc = files_.SetStatusFlags(fd_, kCachedFlags); rc < 0)
            return failed(-rc);
        return std::nullopt;
    }

    // The failure of a step of the read-back, with errno `err`.
    [[nodiscard]] static StopReason failed(int err) { return Failed(Call::ReadBack, err); }

private:
    // Leaves direct I/O and drops the file's cached pages.
    [[nodiscard]] std::optional<StopReason> readCached()
    {
        direct_ = false;
        if (int rc = files_.SetStatusFlags(fd_, kCachedFlags); rc < 0)
            return failed(-rc);
        if (int rc = files_.DropCache(fd_); rc < 0)
            return failed(-rc);
        return std::nullopt;
    }

    FileSystem& files_;
    int fd_;
    bool direct_ = true;
};

// Bytes per read-back chunk: whole pages and whole patterns, so every chunk starts on a pattern
// boundary and suits direct I/O; a small file needs no more than its own length.
std::uint64_t readBackChunk(std::uint64_t extent, std::size_t patternSize)
{
    const std::uint64_t unit = std::lcm(kPageSize, patternSize);
    const std::uint64_t most = std::max<std::uint64_t>(kReadChunk / unit, 1) * unit;
    return std::min<std::uint64_t>(most, (extent + unit - 1) / unit * unit);
}

// Where the `size` bytes at `got` first differ from those at `expected`; nothing when they are equal.
std::optional<std::uint64_t> firstDifference(const char* got, const char* expected, std::uint64_t size)
{
    if (std::memcmp(got, expected, size) == 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(std::mismatch(got, got + size, expected).first - got);
}

} // namespace

[[nodiscard]] std::optional<StopReason> VerifyOverwrite(
    FileSystem& files, int fd, std::uint64_t extent, std::string_view pattern)
{
    ReadBack reader(files, fd);
    if (auto failed = reader.openForReadBack())
        return failed;
    const std::uint64_t chunk = readBackChunk(extent, pattern.size());
    AlignedBuffer buffer = allocatePages(chunk);
    if (!buffer)
        return ReadBack::failed(ENOMEM);
    std::string expected(chunk, '\0');
    fillWithPattern(expected.data(), pattern, chunk);

    for (std::uint64_t offset = 0; offset < extent; offset += chunk) {
        const std::uint64_t want = std::min(chunk, extent - offset);
        if (auto stop = reader.readChunk(buffer.get(), want, offset, extent))
            return stop;
        if (const auto at = firstDifference(buffer.get(), expected.data(), want))
            return StopReason{.stop = Stop::ReadBackDiffers, .found = offset + *at};
    }
    return reader.finish();
}

} // namespace quellon
