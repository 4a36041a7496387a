#include "FileSystem.h"

#include <cerrno>

#include <fcntl.h>
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

} // namespace

int PosixFileSystem::Open(const std::string& path, int flags, mode_t mode)
{
    return retryOnEintr([&] { return ::open(path.c_str(), flags, mode); });
}

int PosixFileSystem::Stat(int fd, struct stat& st)
{
    return retryOnEintr([&] { return ::fstat(fd, &st); });
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

int PosixFileSystem::SetStatusFlags(int fd, int flags)
{
    return retryOnEintr([&] { return ::fcntl(fd, F_SETFL, flags); });
}

int PosixFileSystem::Close(int fd)
{
    // On Linux the descriptor is gone even when close reports EINTR: never call it twice.
    return ::close(fd) == 0 ? 0 : -errno;
}

int PosixFileSystem::Unlink(const std::string& path)
{
    return retryOnEintr([&] { return ::unlink(path.c_str()); });
}

} // namespace quellon
