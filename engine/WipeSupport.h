// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// Small pieces shared by the engine's own files: guards for the descriptors and buffers a wipe
// holds. Not for use outside engine/.

#include "FileSystem.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

namespace quellon::detail {

inline constexpr std::size_t kPageSize = 4096;

// `value` rounded up to a multiple of `step`.
inline constexpr std::uint64_t roundUp(std::uint64_t value, std::uint64_t step)
{
    return (value + step - 1) / step * step;
}

// The errors with which a file system says it does not offer an ioctl at all.
inline bool NotOffered(int err)
{
    return err == ENOTTY || err == EOPNOTSUPP || err == ENOSYS || err == EINVAL;
}

// Closes a descriptor that a failure path leaves behind; the normal path closes explicitly and
// checks the result.
class Descriptor {
public:
    Descriptor(FileSystem& files, int fd) : files_(files), fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor()
    {
        if (fd_ >= 0)
            (void)files_.Close(fd_);
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    FileSystem& files_;
    int fd_;
};

struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};
using AlignedBuffer = std::unique_ptr<char, FreeDeleter>;

// `size` bytes aligned to a page (size is rounded up to whole pages); null when memory is short.
inline AlignedBuffer allocatePages(std::size_t size)
{
    const std::size_t rounded = (size + kPageSize - 1) / kPageSize * kPageSize;
    return AlignedBuffer(static_cast<char*>(std::aligned_alloc(kPageSize, rounded)));
}

// Fills the `size` bytes at `out` with `pattern` (not empty) repeated from its first byte: one copy
// of it, then what is filled so far copied after itself, so a few large copies instead of one per
// repeat.
inline void fillWithPattern(char* out, std::string_view pattern, std::size_t size)
{
    std::size_t filled = std::min(pattern.size(), size);
    std::memcpy(out, pattern.data(), filled);
    while (filled > 0 && filled < size) {
        const std::size_t more = std::min(filled, size - filled);
        std::memcpy(out + filled, out, more);
        filled += more;
    }
}

} // namespace quellon::detail
