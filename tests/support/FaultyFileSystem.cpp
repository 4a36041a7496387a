#include "FaultyFileSystem.h"

#include <fcntl.h>

#include <cerrno>

namespace quellon::testing {

int FaultyFileSystem::count(FsCall call) const
{
    auto it = counts_.find(call);
    return it == counts_.end() ? 0 : it->second;
}

int FaultyFileSystem::enter(FsCall call)
{
    log.push_back(call);
    const int n = ++counts_[call];
    for (const Fault& fault : faults_) {
        if (fault.call != call || fault.nth != n)
            continue;
        if (fault.partial) {
            halfWrite_ = true;
            pendingWriteError_ = fault.error;
            return 0;
        }
        return fault.error;
    }
    if (call == FsCall::Write && pendingWriteError_ != 0 && !halfWrite_)
        return std::exchange(pendingWriteError_, 0);
    return 0;
}

int FaultyFileSystem::Open(const std::string& path, int flags, mode_t mode)
{
    const bool look = (flags & O_PATH) != 0;
    if (int err = enter(look ? FsCall::Look : FsCall::Open))
        return -err;
    const int fd = real_.Open(path, flags, mode);
    if (look && fd >= 0)
        lookingFds_.insert(fd);
    return fd;
}

int FaultyFileSystem::Stat(int fd, struct stat& st)
{
    if (int err = enter(FsCall::Stat))
        return -err;
    return real_.Stat(fd, st);
}

int FaultyFileSystem::StatFs(int fd, struct statfs& st)
{
    if (int err = enter(FsCall::StatFs))
        return -err;
    const int rc = real_.StatFs(fd, st);
    if (rc == 0 && alterStatFs)
        alterStatFs(st);
    return rc;
}

ssize_t FaultyFileSystem::WriteAt(int fd, const void* data, size_t size, off_t offset)
{
    if (int err = enter(FsCall::Write))
        return -err;
    if (halfWrite_) {
        halfWrite_ = false;
        return real_.WriteAt(fd, data, size > 1 ? size / 2 : size, offset);
    }
    return real_.WriteAt(fd, data, size, offset);
}

ssize_t FaultyFileSystem::ReadAt(int fd, void* data, size_t size, off_t offset)
{
    if (int err = enter(FsCall::Read))
        return -err;
    ssize_t got = real_.ReadAt(fd, data, size, offset);
    if (alterRead)
        alterRead(static_cast<char*>(data), got, offset);
    return got;
}

int FaultyFileSystem::Sync(int fd)
{
    if (int err = enter(FsCall::Sync))
        return -err;
    return real_.Sync(fd);
}

int FaultyFileSystem::Truncate(int fd, off_t length)
{
    if (int err = enter(FsCall::Truncate))
        return -err;
    return real_.Truncate(fd, length);
}

int FaultyFileSystem::StartWriteback(int fd, off_t offset, off_t length)
{
    if (int err = enter(FsCall::Writeback))
        return -err;
    return real_.StartWriteback(fd, offset, length);
}

int FaultyFileSystem::AwaitWriteback(int fd, off_t offset, off_t length)
{
    if (int err = enter(FsCall::AwaitWriteback))
        return -err;
    return real_.AwaitWriteback(fd, offset, length);
}

int FaultyFileSystem::Close(int fd)
{
    if (lookingFds_.erase(fd) != 0) {
        const int err = enter(FsCall::Look);
        const int rc = real_.Close(fd);
        return err ? -err : rc;
    }
    if (beforeClose)
        beforeClose(fd);
    const int err = enter(FsCall::Close);
    // A failing close still releases the descriptor, as on Linux.
    const int rc = real_.Close(fd);
    return err ? -err : rc;
}

int FaultyFileSystem::Unlink(const std::string& path)
{
    if (beforeUnlink)
        beforeUnlink(path);
    if (int err = enter(FsCall::Unlink))
        return -err;
    return real_.Unlink(path);
}

int FaultyFileSystem::SetLease(int fd, int type)
{
    if (int err = enter(FsCall::Lease))
        return -err;
    return real_.SetLease(fd, type);
}

int FaultyFileSystem::GetAttributes(int fd, unsigned& flags)
{
    if (int err = enter(FsCall::Attributes))
        return -err;
    return real_.GetAttributes(fd, flags);
}

int FaultyFileSystem::MapExtents(int fd, struct fiemap& map)
{
    if (int err = enter(FsCall::Extents))
        return -err;
    return real_.MapExtents(fd, map);
}

int FaultyFileSystem::MountOptions(dev_t device, std::string& type, std::string& options)
{
    if (int err = enter(FsCall::MountOptions))
        return -err;
    int rc = real_.MountOptions(device, type, options);
    if (alterMountOptions && (rc == 0 || rc == -ENOENT)) {
        alterMountOptions(type, options);
        rc = 0;
    }
    return rc;
}

int FaultyFileSystem::DropCache(int fd)
{
    if (int err = enter(FsCall::DropCache))
        return -err;
    return real_.DropCache(fd);
}

int FaultyFileSystem::SyncFolder(const std::string& path)
{
    if (int err = enter(FsCall::SyncFolder))
        return -err;
    return real_.SyncFolder(path);
}

} // namespace quellon::testing
