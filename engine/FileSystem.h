#pragma once

#include <string>

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>

namespace quellon {

// The file operations the wiping engine uses, one call each. Every operation returns a negative
// errno on failure (never throws), so a test can make any single call fail with a chosen errno
// by wrapping the real implementation.
class FileSystem {
public:
    virtual ~FileSystem() = default;

    // open(2): the new descriptor, or -errno.
    [[nodiscard]] virtual int Open(const std::string& path, int flags, mode_t mode) = 0;
    // fstat(2) and fstatfs(2) on an open descriptor: 0 or -errno.
    [[nodiscard]] virtual int Stat(int fd, struct stat& st) = 0;
    [[nodiscard]] virtual int StatFs(int fd, struct statfs& st) = 0;
    // pwrite(2)/pread(2): bytes moved (possibly fewer than asked), or -errno.
    [[nodiscard]] virtual ssize_t WriteAt(int fd, const void* data, size_t size, off_t offset) = 0;
    [[nodiscard]] virtual ssize_t ReadAt(int fd, void* data, size_t size, off_t offset) = 0;
    // fdatasync(2): 0 or -errno.
    [[nodiscard]] virtual int Sync(int fd) = 0;
    // ftruncate(2): 0 or -errno.
    [[nodiscard]] virtual int Truncate(int fd, off_t length) = 0;
    // fcntl(F_SETFL): replaces the descriptor's status flags (used to drop O_DIRECT). 0 or -errno.
    [[nodiscard]] virtual int SetStatusFlags(int fd, int flags) = 0;
    // close(2): 0 or -errno. The descriptor is released either way.
    [[nodiscard]] virtual int Close(int fd) = 0;
    // unlink(2): 0 or -errno.
    [[nodiscard]] virtual int Unlink(const std::string& path) = 0;
};

// The real thing: each call goes straight to the POSIX function of the same purpose, retried
// while it is interrupted by a signal (except close, which Linux never retries).
class PosixFileSystem final : public FileSystem {
public:
    [[nodiscard]] int Open(const std::string& path, int flags, mode_t mode) override;
    [[nodiscard]] int Stat(int fd, struct stat& st) override;
    [[nodiscard]] int StatFs(int fd, struct statfs& st) override;
    [[nodiscard]] ssize_t WriteAt(int fd, const void* data, size_t size, off_t offset) override;
    [[nodiscard]] ssize_t ReadAt(int fd, void* data, size_t size, off_t offset) override;
    [[nodiscard]] int Sync(int fd) override;
    [[nodiscard]] int Truncate(int fd, off_t length) override;
    [[nodiscard]] int SetStatusFlags(int fd, int flags) override;
    [[nodiscard]] int Close(int fd) override;
    [[nodiscard]] int Unlink(const std::string& path) override;
};

} // namespace quellon
