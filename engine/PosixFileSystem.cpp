// SPDX-License-Identifier: GPL-3.0-or-later

// The real file system: each call of the engine's FileSystem interface, straight to POSIX.

#include "FileSystem.h"

#include "EndingSignals.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace quellon {
namespace {

// Runs `call` until it is not interrupted by a signal; maps -1 to -errno.
template <typename Call>
auto retryOnEintr(Call call)
{
    for (;;) {
        auto result = call();
        if (result != -1)
            return result;
        if (errno != EINTR)
            return static_cast<decltype(result)>(-errno);
    }
}

// statx without the timestamps: on file systems with fine-grained timestamps, a query of them
// makes the next write update them, and every flush after it then has inode changes to write.
constexpr unsigned kWithoutTimes =
    STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_UID | STATX_GID | STATX_INO | STATX_SIZE | STATX_BLOCKS;

// fstat/fstatat through statx, asking for `wanted` (the timestamps left out unless asked). 0 or -errno.
int statOf(int at, const char* name, int flags, struct stat& st, unsigned wanted = kWithoutTimes)
{
    struct statx sx {};
    const int rc = retryOnEintr([&] { return ::statx(at, name, flags, wanted, &sx); });
    if (rc < 0)
        return rc;
    st = {};
    st.st_dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    st.st_rdev = makedev(sx.stx_rdev_major, sx.stx_rdev_minor);
    st.st_ino = sx.stx_ino;
    st.st_mode = sx.stx_mode;
    st.st_nlink = sx.stx_nlink;
    st.st_uid = sx.stx_uid;
    st.st_gid = sx.stx_gid;
    st.st_size = static_cast<off_t>(sx.stx_size);
    st.st_blksize = static_cast<blksize_t>(sx.stx_blksize);
    st.st_blocks = static_cast<blkcnt_t>(sx.stx_blocks);
    st.st_ctim.tv_sec = static_cast<time_t>(sx.stx_ctime.tv_sec);
    st.st_ctim.tv_nsec = static_cast<long>(sx.stx_ctime.tv_nsec);
    return 0;
}

} // namespace

PosixFileSystem::PosixFileSystem()
{
    // Process-wide and idempotent: ignoring the signal leaves the failure to the write that met the limit.
    static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));
    DeferEndingSignalsDuringDeletes();
}

int PosixFileSystem::OpenAt(int folder, const std::string& name, int flags, mode_t mode)
{
    return retryOnEintr([&] { return ::openat(folder, name.c_str(), flags, mode); });
}

int PosixFileSystem::Reopen(int fd, int flags)
{
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const int rc = retryOnEintr([&] { return ::open(self.c_str(), flags); });
    // No such entry for a descriptor that is open: /proc is not mounted (a chroot, a bare
    // container), told apart as -ENOSYS so that the report can say so (as systemd's
    // proc_fd_enoent_errno does).
    if (rc == -ENOENT && ::fcntl(fd, F_GETFD) != -1 && ::access("/proc/self", F_OK) != 0)
        return -ENOSYS;
    return rc;
}

int PosixFileSystem::Stat(int fd, struct stat& st)
{
    return statOf(fd, "", AT_EMPTY_PATH, st);
}

int PosixFileSystem::StatAt(int folder, const std::string& name, struct stat& st)
{
    return statOf(folder, name.c_str(), AT_SYMLINK_NOFOLLOW, st);
}

int PosixFileSystem::StatWithChangeTime(int folder, const std::string& name, struct stat& st)
{
    const int flags = AT_SYMLINK_NOFOLLOW | (name.empty() ? AT_EMPTY_PATH : 0);
    return statOf(folder, name.c_str(), flags, st, kWithoutTimes | STATX_CTIME);
}

int PosixFileSystem::Access(int folder, const std::string& name, int mode)
{
    return retryOnEintr([&] { return ::faccessat(folder, name.c_str(), mode, AT_EACCESS | AT_SYMLINK_NOFOLLOW); });
}

int PosixFileSystem::ReadLink(const std::string& path, std::string& target)
{
    std::vector<char> buffer(PATH_MAX);
    const ssize_t length = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (length < 0)
        return -errno;
    target.assign(buffer.data(), static_cast<std::size_t>(length));
    return 0;
}

int PosixFileSystem::IsMountRoot(int fd)
{
    struct statx sx {};
    if (int rc = retryOnEintr([&] { return ::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE, &sx); }); rc < 0)
        return rc;
    if ((sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) == 0)
        return 0;
    return (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0 ? 1 : 0;
}

int PosixFileSystem::StatFs(int fd, struct statfs& st)
{
    return retryOnEintr([&] { return ::fstatfs(fd, &st); });
}

ssize_t PosixFileSystem::WriteAt(int fd, const void* data, size_t size, off_t offset)
{
    return retryOnEintr([&] { return ::pwrite(fd, data, size, offset); });
}

ssize_t PosixFileSystem::ReadAt(int fd, void* data, size_t size, off_t offset)
{
    return retryOnEintr([&] { return ::pread(fd, data, size, offset); });
}

int PosixFileSystem::Sync(int fd)
{
    return retryOnEintr([&] { return ::fdatasync(fd); });
}

int PosixFileSystem::Truncate(int fd, off_t length)
{
    return retryOnEintr([&] { return ::ftruncate(fd, length); });
}

int PosixFileSystem::StartWriteback(int fd, off_t offset, off_t length)
{
    return retryOnEintr([&] { return ::sync_file_range(fd, offset, length, SYNC_FILE_RANGE_WRITE); });
}

int PosixFileSystem::AwaitWriteback(int fd, off_t offset, off_t length)
{
    constexpr unsigned kWait = SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
    return retryOnEintr([&] { return ::sync_file_range(fd, offset, length, kWait); });
}

int PosixFileSystem::Close(int fd)
{
    // On Linux the descriptor is gone even when close reports EINTR: never call it twice.
    return ::close(fd) == 0 ? 0 : -errno;
}

int PosixFileSystem::UnlinkAt(int folder, const std::string& name)
{
    return retryOnEintr([&] { return ::unlinkat(folder, name.c_str(), 0); });
}

int PosixFileSystem::RenameAt(int folder, const std::string& from, const std::string& to)
{
    return retryOnEintr([&] { return ::renameat2(folder, from.c_str(), folder, to.c_str(), RENAME_NOREPLACE); });
}

int PosixFileSystem::SetLease(int fd, int type)
{
    if (type != F_UNLCK) {
        if (int rc = retryOnEintr([&] { return ::fcntl(fd, F_SETSIG, SIGURG); }); rc < 0)
            return rc;
    }
    return retryOnEintr([&] { return ::fcntl(fd, F_SETLEASE, type); });
}

int PosixFileSystem::GetLease(int fd)
{
    return retryOnEintr([&] { return ::fcntl(fd, F_GETLEASE); });
}

int PosixFileSystem::SetStatusFlags(int fd, int flags)
{
    return retryOnEintr([&] { return ::fcntl(fd, F_SETFL, flags); });
}

int PosixFileSystem::GetAttributes(int fd, unsigned& flags)
{
    int value = 0;
    const int rc = retryOnEintr([&] { return ::ioctl(fd, FS_IOC_GETFLAGS, &value); });
    flags = rc < 0 ? 0 : static_cast<unsigned>(value);
    return rc < 0 ? rc : 0;
}

int PosixFileSystem::MapExtents(
    int fd, std::uint64_t start, std::uint32_t most, bool flushFirst, std::vector<Extent>& extents)
{
    extents.clear();
    // The request is the header followed by room for the extents of the answer, 8-byte aligned.
    const std::size_t bytes = sizeof(struct fiemap) + std::size_t{most} * sizeof(struct fiemap_extent);
    static_assert(alignof(struct fiemap) <= alignof(std::uint64_t));
    std::vector<std::uint64_t> storage((bytes + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
    auto* map = new (storage.data())::fiemap{};
    map->fm_start = start;
    map->fm_length = FIEMAP_MAX_OFFSET - start;
    map->fm_extent_count = most;
    map->fm_flags = flushFirst ? FIEMAP_FLAG_SYNC : 0;
    if (int rc = retryOnEintr([&] { return ::ioctl(fd, FS_IOC_FIEMAP, map); }); rc < 0)
        return rc;
    const auto* raw = reinterpret_cast<const unsigned char*>(storage.data()) + sizeof(struct fiemap);
    for (std::uint32_t i = 0; i < std::min(map->fm_mapped_extents, most); ++i) {
        struct fiemap_extent extent {};
        std::memcpy(&extent, raw + i * sizeof extent, sizeof extent);
        extents.push_back(Extent{extent.fe_logical, extent.fe_physical, extent.fe_length, extent.fe_flags});
    }
    return 0;
}

int PosixFileSystem::ReadSmallFile(const std::string& path, std::string& contents)
{
    contents.clear();
    const int fd = retryOnEintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY); });
    if (fd < 0)
        return fd;
    char chunk[4096];
    for (;;) {
        const ssize_t got = retryOnEintr([&] { return ::read(fd, chunk, sizeof chunk); });
        if (got < 0) {
            ::close(fd);
            return static_cast<int>(got);
        }
        if (got == 0)
            break;
        contents.append(chunk, static_cast<std::size_t>(got));
    }
    return ::close(fd) == 0 ? 0 : -errno;
}

int PosixFileSystem::DropCache(int fd)
{
    return -::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
}

int PosixFileSystem::SyncFolder(int folder)
{
    return retryOnEintr([&] { return ::fsync(folder); });
}

int PosixFileSystem::ListFolder(int folder, const std::string& prefix, std::vector<std::string>& names)
{
    names.clear();
    const int fd = retryOnEintr([&] { return ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC); });
    if (fd < 0)
        return fd;
    DIR* listing = ::fdopendir(fd);
    if (listing == nullptr) {
        const int err = errno;
        ::close(fd);
        return -err;
    }
    errno = 0;
    while (const struct dirent* entry = ::readdir(listing)) {
        if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0)
            names.emplace_back(entry->d_name);
    }
    const int err = errno;
    ::closedir(listing);
    return -err;
}

} // namespace quellon
