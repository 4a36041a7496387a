#include "FaultyFileSystem.h"

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
    if (int err = enter(FsCall::Open))
        return -err;
    return real_.Open(path, flags, mode);
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
    return real_.StatFs(fd, st);
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
    return real_.ReadAt(fd, data, size, offset);
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

int FaultyFileSystem::SetStatusFlags(int fd, int flags)
{
    if (int err = enter(FsCall::SetFlags))
        return -err;
    return real_.SetStatusFlags(fd, flags);
}

int FaultyFileSystem::Close(int fd)
{
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

} // namespace quellon::testing
