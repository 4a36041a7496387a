// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// Small pieces shared by the engine's own files: how failures are worded, and guards for the
// descriptors and buffers a wipe holds. Not for use outside engine/.

#include "ErrorInfo.h"
#include "FileSystem.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace quellon::detail {

inline constexpr std::size_t kPageSize = 4096;
inline constexpr const char* kSource = kWipeSource;

// The path as the report shows it, in double quotes.
inline std::string quoted(const std::string& path)
{
    return "\"" + path + "\"";
}

// A failed call: `what` was being done, `err` is the errno it gave; the OS's words follow.
inline ErrorInfo failure(int err, const std::string& what)
{
    char buffer[256];
    // GNU strerror_r: returns the message, which may or may not be in `buffer`.
    return ErrorInfo{err, what + ": " + ::strerror_r(err, buffer, sizeof buffer), kSource};
}

// The path now names another file than the one being wiped; `when` says at which pass, if any.
inline ErrorInfo replaced(const std::string& path, const std::string& when = {})
{
    return ErrorInfo{
        ESTALE, quoted(path) + " was replaced by another file during the wipe; the wipe stopped" + when, kSource};
}

// The errors with which a file system says it does not offer an ioctl at all.
inline bool NotOffered(int err)
{
    return err == ENOTTY || err == EOPNOTSUPP || err == ENOSYS || err == EINVAL;
}

// What to do about a refusal, added to its description where there is one thing to do.
inline constexpr const char* kCloseItFirst = " Close it in the other program and wipe it again.";
inline constexpr const char* kMakeItWritable = " Make it writable first if you mean to wipe it.";
inline constexpr const char* kSeeTheReadme = " See \u201cWhat Quellon can and cannot wipe\u201d in the README.";
inline constexpr const char* kOneFileAtATime = " Quellon wipes files, one at a time.";

// A file the wipe will not touch: the quoted path, `why`, ", so it was not wiped.", and then the
// one thing to do about it, where there is one.
inline ErrorInfo refusal(int err, const std::string& path, const std::string& why, const char* todo = "")
{
    return ErrorInfo{err, quoted(path) + " " + why + ", so it was not wiped." + todo, kSource};
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
