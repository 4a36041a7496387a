#include "Safeguards.h"

#include "StorageCheck.h"
#include "WipeSupport.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numeric>
#include <optional>
#include <utility>

#include <fcntl.h>

namespace quellon {
namespace {

using detail::AlignedBuffer;
using detail::allocatePages;
using detail::Descriptor;
using detail::failure;
using detail::kPageSize;
using detail::quoted;
using detail::refusal;
using detail::replaced;

// Bytes read back per call; memory for the check stays near twice this.
constexpr std::size_t kReadChunk = std::size_t{1} << 20;
// The status flags of the descriptor while the file is read back: past the page cache, and back.
constexpr int kDirectFlags = O_NONBLOCK | O_DIRECT;
constexpr int kCachedFlags = O_NONBLOCK;

} // namespace

std::optional<ErrorInfo> CheckBeforeOpening(FileSystem& files, int fd, const struct stat& st, const std::string& path,
                                            StorageFacts& facts)
{
    if (!S_ISREG(st.st_mode))
        return refusal(EINVAL, path, "is not a regular file");
    if (auto error = GatherFileSystemFacts(files, fd, st, path, facts))
        return error;
    if (auto why = WhyOverwriteCannotReach(facts))
        return refusal(EOPNOTSUPP, path, *why, detail::kSeeTheReadme);
    return std::nullopt;
}

std::optional<ErrorInfo> CheckBeforeWiping(FileSystem& files, int fd, const struct stat& st, const std::string& path,
                                           StorageFacts facts)
{
    if ((st.st_mode & 0222) == 0)
        return refusal(EACCES, path, "is read-only", detail::kMakeItWritable);

    if (auto error = GatherFileFacts(files, fd, path, facts))
        return error;
    if (auto why = WhyOverwriteCannotReach(facts))
        return refusal(EOPNOTSUPP, path, *why, detail::kSeeTheReadme);
    return std::nullopt;
}

std::optional<ErrorInfo> VerifyOverwrite(FileSystem& files, int fd, const std::string& path, std::uint64_t extent,
                                         std::string_view pattern)
{
    const std::string what = "Cannot read " + quoted(path) + " back to check the overwrite";
    // Past the page cache where the file system allows direct I/O; otherwise the file's cached
    // pages, clean since the flush, are dropped so that the reads come from the device.
    bool direct = true;
    auto readCached = [&]() -> std::optional<ErrorInfo> {
        direct = false;
        if (int rc = files.SetStatusFlags(fd, kCachedFlags); rc < 0)
            return failure(-rc, what);
        if (int rc = files.DropCache(fd); rc < 0)
            return failure(-rc, what);
        return std::nullopt;
    };
    if (int rc = files.SetStatusFlags(fd, kDirectFlags); rc == -EINVAL) {
        if (auto error = readCached())
            return error;
    } else if (rc < 0) {
        return failure(-rc, what);
    }

    // Whole pages and whole patterns per chunk, so every chunk starts on a pattern boundary and
    // suits direct I/O; a small file needs no more than its own length.
    const std::uint64_t unit = std::lcm(kPageSize, pattern.size());
    const std::uint64_t chunk =
        std::min<std::uint64_t>(std::max<std::uint64_t>(kReadChunk / unit, 1) * unit, (extent + unit - 1) / unit * unit);
    AlignedBuffer buffer = allocatePages(chunk);
    if (!buffer)
        return failure(ENOMEM, what);
    std::string expected(chunk, '\0');
    for (std::size_t at = 0; at < chunk; ++at)
        expected[at] = pattern[at % pattern.size()];

    for (std::uint64_t offset = 0; offset < extent; offset += chunk) {
        const std::uint64_t want = std::min(chunk, extent - offset);
        std::uint64_t have = 0;
        while (have < want) {
            const ssize_t got = files.ReadAt(fd, buffer.get() + have, want - have, static_cast<off_t>(offset + have));
            if (got == -EINVAL && direct) {
                // Direct I/O refused for this read after all: read through the emptied page cache.
                if (auto error = readCached())
                    return error;
                continue;
            }
            if (got < 0)
                return failure(static_cast<int>(-got), what);
            if (got == 0) {
                return ErrorInfo{EIO,
                                 quoted(path) + " read back shorter than the last pass wrote it (" +
                                     std::to_string(offset + have) + " of " + std::to_string(extent) +
                                     " bytes), so it was not deleted",
                                 detail::kSource};
            }
            have += static_cast<std::uint64_t>(got);
        }
        if (std::memcmp(buffer.get(), expected.data(), want) != 0) {
            const auto mismatch = std::mismatch(buffer.get(), buffer.get() + want, expected.data());
            const std::uint64_t at = offset + static_cast<std::uint64_t>(mismatch.first - buffer.get());
            return ErrorInfo{EIO,
                             quoted(path) + " did not read back as the last pass wrote it (first difference at byte " +
                                 std::to_string(at) + "), so it was not deleted",
                             detail::kSource};
        }
    }

    if (direct) {
        if (int rc = files.SetStatusFlags(fd, kCachedFlags); rc < 0)
            return failure(-rc, what);
    }
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
