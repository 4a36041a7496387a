// SPDX-License-Identifier: GPL-3.0-or-later

// The writes of one pass.

#include "PassWriter.h"

#include "Passes.h"

#include <algorithm>
#include <cerrno>
#include <numeric>

namespace quellon {
namespace {

using namespace detail;

// Largest write buffer; memory use stays near this whatever the size of the file. Writes go through
// the page cache, and the writeback of each chunk is started as soon as it is written, so the disk
// works while the next chunk is copied. (Direct I/O was measured slower: each write waits for the
// device, one at a time.)
constexpr std::size_t kMaxBuffer = std::size_t{8} << 20;
// How far the writes may run ahead of the disk within a pass. Keeping it short costs no speed, keeps
// the flush at the end of a pass brief and lets progress follow what has really reached the disk.
constexpr std::uint64_t kWriteBehind = std::uint64_t{32} << 20;
constexpr auto kProgressInterval = std::chrono::milliseconds(50);

} // namespace

std::optional<StopReason> PassWriter::plan(std::uint64_t extent)
{
    extent_ = extent;
    // The buffer holds whole repeats of every pattern and whole pages, so each write starts on a
    // pattern boundary and suits direct I/O. A small file needs no more than its own length.
    std::uint64_t unit = kPageSize;
    for (std::string_view pattern : kPatterns)
        unit = std::lcm(unit, pattern.size());
    const std::uint64_t largest = kMaxBuffer / unit * unit;
    const std::uint64_t size = std::min(largest, std::max<std::uint64_t>(roundUp(extent_, kPageSize), kPageSize));
    bufferFill_ = std::min(size, extent_);
    buffer_ = allocatePages(size);
    if (!buffer_)
        return Failed(Call::AllocateBuffer, ENOMEM);
    return std::nullopt;
}

void PassWriter::fill(int phase)
{
    fillWithPattern(buffer_.get(), kPatterns[static_cast<std::size_t>(phase - 1)], bufferFill_);
}

std::optional<StopReason> PassWriter::writeAll(int fd, int pass)
{
    std::uint64_t done = 0;
    while (done < extent_) {
        // Each chunk starts at a multiple of the buffer size, which holds whole patterns.
        const std::uint64_t chunkStart = done / bufferFill_ * bufferFill_;
        const std::uint64_t inChunk = done - chunkStart;
        const std::uint64_t size = std::min(bufferFill_, extent_ - chunkStart) - inChunk;
        const ssize_t written = files_.WriteAt(fd, buffer_.get() + inChunk, size, static_cast<off_t>(done));
        if (written <= 0)
            return Failed(Call::Write, written < 0 ? static_cast<int>(-written) : EIO, When::inPass(pass));
        // A file of several chunks: send this one on its way to the disk now (only a hint: the flush
        // at the end of the pass is what counts), and wait for what was written long enough ago.
        if (extent_ > bufferFill_) {
            (void)files_.StartWriteback(fd, static_cast<off_t>(done), written);
            if (done >= kWriteBehind) {
                const off_t behind = static_cast<off_t>(done - kWriteBehind);
                if (int rc = files_.AwaitWriteback(fd, behind, written); rc < 0)
                    return Failed(Call::Flush, -rc, When::inPass(pass));
            }
            if (auto error = watch_.checkLease(fd, pass))
                return error;
        }
        done += static_cast<std::uint64_t>(written);
        report(pass, done, false);
    }
    return std::nullopt;
}

void PassWriter::report(int pass, std::uint64_t done, bool force)
{
    if (!observer_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - lastReport_ < kProgressInterval)
        return;
    lastReport_ = now;
    observer_->Progress(WipeProgress{path_, pass, done, extent_});
}

} // namespace quellon
