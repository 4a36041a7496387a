#pragma once

#include <string>

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>

struct fiemap;

namespace quellon {

// The file operations the wiping engine uses, one call each. Every operation returns a negative
// errno on failure (never throws), so a test can make any single call fail with a chosen errno
// by wrapping the real implementation.
class FileSystem {
public:
    virtual ~FileSystem() = default;

    // open(2): the new descriptor, or -errno.
    [[nodiscard]] virtual int Open(const std::string& path, int flags, mode_t mode) = 0;
    // fstat(2) and fstatfs(2) on an open descriptor: 0 or -errno. Stat leaves the timestamps out.
    [[nodiscard]] virtual int Stat(int fd, struct stat& st) = 0;
    [[nodiscard]] virtual int StatFs(int fd, struct statfs& st) = 0;
    // pwrite(2)/pread(2): bytes moved (possibly fewer than asked), or -errno.
    [[nodiscard]] virtual ssize_t WriteAt(int fd, const void* data, size_t size, off_t offset) = 0;
    [[nodiscard]] virtual ssize_t ReadAt(int fd, void* data, size_t size, off_t offset) = 0;
    // fdatasync(2): 0 or -errno.
    [[nodiscard]] virtual int Sync(int fd) = 0;
    // ftruncate(2): 0 or -errno.
    [[nodiscard]] virtual int Truncate(int fd, off_t length) = 0;
    // sync_file_range(SYNC_FILE_RANGE_WRITE): starts writing the range's dirty pages to the device
    // without waiting for them, so the disk works while the next part is written. 0 or -errno.
    [[nodiscard]] virtual int StartWriteback(int fd, off_t offset, off_t length) = 0;
    // sync_file_range(WAIT_BEFORE | WRITE | WAIT_AFTER): waits until the range is on the device. An
    // error it returns is consumed, so a later fdatasync would not see it again. 0 or -errno.
    [[nodiscard]] virtual int AwaitWriteback(int fd, off_t offset, off_t length) = 0;
    // close(2): 0 or -errno. The descriptor is released either way.
    [[nodiscard]] virtual int Close(int fd) = 0;
    // unlink(2): 0 or -errno.
    [[nodiscard]] virtual int Unlink(const std::string& path) = 0;
    // fcntl(F_SETLEASE): takes (F_WRLCK, F_RDLCK) or gives back (F_UNLCK) a lease. 0 or -errno.
    [[nodiscard]] virtual int SetLease(int fd, int type) = 0;
    // ioctl(FS_IOC_GETFLAGS): the file's attribute flags (FS_*_FL). 0 or -errno.
    [[nodiscard]] virtual int GetAttributes(int fd, unsigned& flags) = 0;
    // ioctl(FS_IOC_FIEMAP): maps the file's extents into `map`, which is followed in memory by room
    // for map.fm_extent_count extents. 0 or -errno.
    [[nodiscard]] virtual int MapExtents(int fd, struct fiemap& map) = 0;
    // The file system on `device` as mounted: its type and its options (the super options of
    // /proc/self/mountinfo, and ext4's full list, which also names the options it took from its
    // superblock). 0, -ENOENT when no mount of it can be seen, or -errno.
    [[nodiscard]] virtual int MountOptions(dev_t device, std::string& type, std::string& options) = 0;
    // posix_fadvise(POSIX_FADV_DONTNEED) over the whole file: drops its clean cached pages. 0 or -errno.
    [[nodiscard]] virtual int DropCache(int fd) = 0;
    // fsync(2) of the folder at `path`, opened read-only for it and closed again. 0 or -errno.
    [[nodiscard]] virtual int SyncFolder(const std::string& path) = 0;
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
    [[nodiscard]] int StartWriteback(int fd, off_t offset, off_t length) override;
    [[nodiscard]] int AwaitWriteback(int fd, off_t offset, off_t length) override;
    [[nodiscard]] int Close(int fd) override;
    [[nodiscard]] int Unlink(const std::string& path) override;
    // A lease is taken with SIGURG as its break signal, which is ignored unless handled: the default,
    // SIGIO, would end the program if another one opened the file while the lease is held.
    [[nodiscard]] int SetLease(int fd, int type) override;
    [[nodiscard]] int GetAttributes(int fd, unsigned& flags) override;
    [[nodiscard]] int MapExtents(int fd, struct fiemap& map) override;
    [[nodiscard]] int MountOptions(dev_t device, std::string& type, std::string& options) override;
    [[nodiscard]] int DropCache(int fd) override;
    [[nodiscard]] int SyncFolder(const std::string& path) override;
};

} // namespace quellon
