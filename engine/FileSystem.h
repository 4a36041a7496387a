// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>

namespace quellon {

// One extent of a file's block map (FS_IOC_FIEMAP), in bytes.
struct Extent {
    std::uint64_t logical = 0;  // where it starts in the file
    std::uint64_t physical = 0; // where it starts on the device
    std::uint64_t length = 0;
    std::uint32_t flags = 0; // FIEMAP_EXTENT_* (LAST, SHARED, DATA_INLINE...)
};

// The operating-system calls the wiping engine makes: primitives only, each one POSIX call (or,
// where its comment says so, the few calls of one small task such as reading a file under /proc)
// that hands back what the kernel answered, typed but not interpreted. Parsing and every decision
// live with the engine's checks. Every operation returns a negative errno on failure (never
// throws), so a test can make any single call fail with a chosen errno by wrapping the real one.
class FileSystem {
public:
    virtual ~FileSystem() = default;

    // openat(2): `name` relative to the open folder `folder` (or AT_FDCWD). The new descriptor, or -errno.
    [[nodiscard]] virtual int OpenAt(int folder, const std::string& name, int flags, mode_t mode) = 0;
    // Opens the very file that `fd` (usually an O_PATH descriptor) refers to once more, with `flags`,
    // whatever its name names by now (through /proc/self/fd). The new descriptor, or -errno; -ENOSYS
    // when /proc is not mounted.
    [[nodiscard]] virtual int Reopen(int fd, int flags) = 0;
    // fstatat(2) of `name` in `folder` without following a symbolic link, timestamps left out. 0 or -errno.
    [[nodiscard]] virtual int StatAt(int folder, const std::string& name, struct stat& st) = 0;
    // The same with the file's change time (st_ctim), which every write, cut or change of its
    // attributes moves on; an empty `name` looks at the open file `folder` itself. 0 or -errno.
    [[nodiscard]] virtual int StatWithChangeTime(int folder, const std::string& name, struct stat& st) = 0;
    // faccessat(2) for the effective user, not following a symbolic link: 0 when `mode` (R_OK, W_OK,
    // X_OK) is granted, or -errno.
    [[nodiscard]] virtual int Access(int folder, const std::string& name, int mode) = 0;
    // readlink(2): what the symbolic link at `path` holds. 0 or -errno.
    [[nodiscard]] virtual int ReadLink(const std::string& path, std::string& target) = 0;
    // Whether `fd` is the root of a mount, such as a file bind-mounted over another (statx
    // STATX_ATTR_MOUNT_ROOT): 1, 0, or -errno; 0 where the kernel cannot tell.
    [[nodiscard]] virtual int IsMountRoot(int fd) = 0;
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
    // unlinkat(2) of the file `name` in `folder`: 0 or -errno.
    [[nodiscard]] virtual int UnlinkAt(int folder, const std::string& name) = 0;
    // renameat2(2) of `from` to `to`, both in `folder`, never replacing what `to` names
    // (RENAME_NOREPLACE): 0 or -errno.
    [[nodiscard]] virtual int RenameAt(int folder, const std::string& from, const std::string& to) = 0;
    // fcntl(F_SETLEASE): takes (F_WRLCK, F_RDLCK) or gives back (F_UNLCK) a lease. 0 or -errno.
    [[nodiscard]] virtual int SetLease(int fd, int type) = 0;
    // fcntl(F_GETLEASE): the lease held (F_WRLCK, F_RDLCK, F_UNLCK) or -errno. While another program
    // waits for the lease to be broken it answers the type the lease is being broken to: F_RDLCK
    // when that program opened the file for reading only, F_UNLCK when it opened it for writing or
    // truncated it.
    [[nodiscard]] virtual int GetLease(int fd) = 0;
    // fcntl(F_SETFL): sets the descriptor's status flags (O_DIRECT, O_NONBLOCK...). 0 or -errno.
    [[nodiscard]] virtual int SetStatusFlags(int fd, int flags) = 0;
    // ioctl(FS_IOC_GETFLAGS): the file's attribute flags (FS_*_FL). 0 or -errno.
    [[nodiscard]] virtual int GetAttributes(int fd, unsigned& flags) = 0;
    // ioctl(FS_IOC_FIEMAP): the extents of the file from byte `start` on, at most `most` of them, into
    // `extents` (emptied first; empty past the last one); with `flushFirst` the file's data still in
    // memory is written out first (FIEMAP_FLAG_SYNC), so that every extent has its place on the
    // device. 0 or -errno.
    [[nodiscard]] virtual int MapExtents(
        int fd, std::uint64_t start, std::uint32_t most, bool flushFirst, std::vector<Extent>& extents) = 0;
    // open(2), read(2) to the end and close(2) of a small file such as /proc/self/mountinfo: its
    // whole content into `contents`. 0 or -errno.
    [[nodiscard]] virtual int ReadSmallFile(const std::string& path, std::string& contents) = 0;
    // posix_fadvise(POSIX_FADV_DONTNEED) over the whole file: drops its clean cached pages. 0 or -errno.
    [[nodiscard]] virtual int DropCache(int fd) = 0;
    // fsync(2) of an open folder: 0 or -errno.
    [[nodiscard]] virtual int SyncFolder(int folder) = 0;
    // readdir(3) of the open folder `folder` (opened anew, so `folder` itself is not moved): the
    // names in it that begin with `prefix`, into `names`. 0 or -errno.
    [[nodiscard]] virtual int ListFolder(int folder, const std::string& prefix, std::vector<std::string>& names) = 0;
};

// The real thing: each call goes straight to the POSIX function its contract names, retried while
// it is interrupted by a signal (except close, which Linux never retries).
class PosixFileSystem final : public FileSystem {
public:
    // Makes a write past the process's file-size limit (`ulimit -f`) fail with EFBIG, like any other
    // failed write, instead of ending the program with SIGXFSZ half-way through a pass; and holds
    // back the signals that end a program while a delete is half done (EndingSignals.h).
    PosixFileSystem();

    [[nodiscard]] int OpenAt(int folder, const std::string& name, int flags, mode_t mode) override;
    [[nodiscard]] int Reopen(int fd, int flags) override;
    [[nodiscard]] int StatAt(int folder, const std::string& name, struct stat& st) override;
    [[nodiscard]] int StatWithChangeTime(int folder, const std::string& name, struct stat& st) override;
    [[nodiscard]] int Access(int folder, const std::string& name, int mode) override;
    [[nodiscard]] int ReadLink(const std::string& path, std::string& target) override;
    [[nodiscard]] int IsMountRoot(int fd) override;
    [[nodiscard]] int Stat(int fd, struct stat& st) override;
    [[nodiscard]] int StatFs(int fd, struct statfs& st) override;
    [[nodiscard]] ssize_t WriteAt(int fd, const void* data, size_t size, off_t offset) override;
    [[nodiscard]] ssize_t ReadAt(int fd, void* data, size_t size, off_t offset) override;
    [[nodiscard]] int Sync(int fd) override;
    [[nodiscard]] int Truncate(int fd, off_t length) override;
    [[nodiscard]] int StartWriteback(int fd, off_t offset, off_t length) override;
    [[nodiscard]] int AwaitWriteback(int fd, off_t offset, off_t length) override;
    [[nodiscard]] int Close(int fd) override;
    [[nodiscard]] int UnlinkAt(int folder, const std::string& name) override;
    [[nodiscard]] int RenameAt(int folder, const std::string& from, const std::string& to) override;
    // A lease is taken with SIGURG as its break signal, which is ignored unless handled: the default,
    // SIGIO, would end the program if another one opened the file while the lease is held.
    [[nodiscard]] int SetLease(int fd, int type) override;
    [[nodiscard]] int GetLease(int fd) override;
    [[nodiscard]] int SetStatusFlags(int fd, int flags) override;
    [[nodiscard]] int GetAttributes(int fd, unsigned& flags) override;
    [[nodiscard]] int MapExtents(
        int fd, std::uint64_t start, std::uint32_t most, bool flushFirst, std::vector<Extent>& extents) override;
    [[nodiscard]] int ReadSmallFile(const std::string& path, std::string& contents) override;
    [[nodiscard]] int DropCache(int fd) override;
    [[nodiscard]] int SyncFolder(int folder) override;
    [[nodiscard]] int ListFolder(int folder, const std::string& prefix, std::vector<std::string>& names) override;
};

} // namespace quellon
