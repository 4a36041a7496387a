// SPDX-License-Identifier: GPL-3.0-or-later

// The checks that keep a wipe honest: what is refused before the file is opened or written, and
// the read-back of the last pass past the page cache.

#include "Safeguards.h"

#include "StorageCheck.h"
#include "WipeSupport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <numeric>
#include <optional>

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
    ReadBack(FileSystem& files, int fd, const std::string& path)
        : files_(files), fd_(fd), path_(path), what_("Cannot read " + quoted(path) + " back to check the overwrite")
    {
    }

    // Sets direct I/O on the descriptor, or falls back to reading through the emptied cache.
    std::optional<ErrorInfo> openForReadBack()
    {
        if (int rc = files_.SetStatusFlags(fd_, kDirectFlags); rc == -EINVAL)
            return readCached();
        else if (rc < 0)
            return failed(-rc);
        return std::nullopt;
    }

    // Reads bytes [offset, offset + size) into `into`, looping over short reads; a file that ends
    // before `extent` is reported.
    std::optional<ReadBackProblem> readChunk(char* into, std::uint64_t size, std::uint64_t offset, std::uint64_t extent)
    {
        std::uint64_t have = 0;
        while (have < size) {
            const ssize_t got = files_.ReadAt(fd_, into + have, size - have, static_cast<off_t>(offset + have));
            if (got == -EINVAL && direct_) {
                // Direct I/O refused for this read after all: read through the emptied page cache.
                if (auto error = readCached())
                    return ReadBackProblem{*error};
                continue;
            }
            if (got < 0)
                return ReadBackProblem{failed(static_cast<int>(-got))};
            if (got == 0) {
                return ReadBackProblem{ErrorInfo{EIO,
                                           quoted(path_) + " read back shorter than the last pass wrote it (" +
                                               std::to_string(offset + have) + " of " + std::to_string(extent) +
                                               " bytes), so it was not deleted",
                                           kSource},
                    true};
            }
            have += static_cast<std::uint64_t>(got);
        }
        return std::nullopt;
    }

    // Gives the descriptor back its usual status flags.
    std::optional<ErrorInfo> finish()
    {
        if (!direct_)
            return std::nullopt;
        if (int rc = files_.SetStatusFlags(fd_, kCachedFlags); rc < 0)
            return failed(-rc);
        return std::nullopt;
    }

    // The failure of a step of the read-back, with errno `err`.
    ErrorInfo failed(int err) const { return failure(err, what_); }

private:
    // Leaves direct I/O and drops the file's cached pages.
    std::optional<ErrorInfo> readCached()
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
    const std::string& path_;
    std::string what_;
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

std::optional<ErrorInfo> CheckBeforeOpening(
    FileSystem& files, int fd, const struct stat& st, const std::string& path, StorageFacts& facts)
{
    if (!S_ISREG(st.st_mode))
        return refusal(EINVAL, path, "is not a regular file");
    if (auto error = GatherFileSystemFacts(files, fd, st, path, facts))
        return error;
    if (auto why = WhyNotStoredData(facts))
        return refusal(EINVAL, path, *why);
    if (auto why = WhyOverwriteCannotReach(facts))
        return refusal(EOPNOTSUPP, path, *why, kSeeTheReadme);
    return std::nullopt;
}

std::optional<ErrorInfo> CheckBeforeWiping(
    FileSystem& files, int fd, const struct stat& st, const BlockMap& map, const std::string& path, StorageFacts facts)
{
    if ((st.st_mode & 0222) == 0)
        return refusal(EACCES, path, "is read-only", kMakeItWritable);

    if (auto error = GatherFileFacts(files, fd, map, path, facts))
        return error;
    if (auto why = WhyOverwriteCannotReach(facts))
        return refusal(EOPNOTSUPP, path, *why, kSeeTheReadme);
    return std::nullopt;
}

std::optional<ReadBackProblem> VerifyOverwrite(
    FileSystem& files, int fd, const std::string& path, std::uint64_t extent, std::string_view pattern)
{
    ReadBack reader(files, fd, path);
    if (auto error = reader.openForReadBack())
        return ReadBackProblem{*error};
    const std::uint64_t chunk = readBackChunk(extent, pattern.size());
    AlignedBuffer buffer = allocatePages(chunk);
    if (!buffer)
        return ReadBackProblem{reader.failed(ENOMEM)};
    std::string expected(chunk, '\0');
    fillWithPattern(expected.data(), pattern, chunk);

    for (std::uint64_t offset = 0; offset < extent; offset += chunk) {
        const std::uint64_t want = std::min(chunk, extent - offset);
        if (auto error = reader.readChunk(buffer.get(), want, offset, extent))
            return error;
        if (const auto at = firstDifference(buffer.get(), expected.data(), want)) {
            return ReadBackProblem{ErrorInfo{EIO,
                                       quoted(path) +
                                           " did not read back as the last pass wrote it (first difference at "
                                           "byte " +
                                           std::to_string(offset + *at) + "), so it was not deleted",
                                       kSource},
                true};
        }
    }
    if (auto error = reader.finish())
        return ReadBackProblem{*error};
    return std::nullopt;
}

std::string FolderOf(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    const std::size_t end = path.find_last_not_of('/', slash);
    return end == std::string::npos ? "/" : path.substr(0, end + 1);
}

} // namespace quellon
