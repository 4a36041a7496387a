// SPDX-License-Identifier: GPL-3.0-or-later

// The fault-injecting file layer of the tests: fails a chosen call with a chosen errno, or lets a
// test look at the file at a chosen moment.

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
    if (beforeCall)
        beforeCall(call, static_cast<int>(log.size()));
    log.push_back(call);
    const int n = ++counts_[call];
    for (const Fault& fault : faults_) {
        if (fault.call != call || n < fault.nth || n >= fault.nth + fault.times)
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

int FaultyFileSystem::OpenAt(int folder, const std::string& name, int flags, mode_t mode)
{
    const bool isFolder = (flags & O_DIRECTORY) != 0;
    const bool look = isFolder || (flags & O_PATH) != 0;
    if (int err = enter(isFolder ? FsCall::OpenFolder : look ? FsCall::Look : FsCall::Open))
        return -err;
    const int fd = real_.OpenAt(folder, name, flags, mode);
    if (look && fd >= 0)
        lookingFds_.insert(fd);
    if (isFolder && fd >= 0)
        folders_[fd] = name;
    return fd;
}

int FaultyFileSystem::Reopen(int fd, int flags)
{
    // Opened for reading only, to look at the file's blocks: a look, not one of the passes' opens.
    const bool look = (flags & O_ACCMODE) == O_RDONLY;
    if (int err = enter(look ? FsCall::Look : FsCall::Open))
        return -err;
    const int opened = real_.Reopen(fd, flags);
    if (look && opened >= 0)
        lookingFds_.insert(opened);
    return opened;
}

int FaultyFileSystem::StatAt(int folder, const std::string& name, struct stat& st)
{
    if (int err = enter(FsCall::StatAt))
        return -err;
    return real_.StatAt(folder, name, st);
}

int FaultyFileSystem::Access(int folder, const std::string& name, int mode)
{
    if (int err = enter(FsCall::Access))
        return -err;
    return real_.Access(folder, name, mode);
}

int FaultyFileSystem::ReadLink(const std::string& path, std::string& target)
{
    if (int err = enter(FsCall::ReadLink))
        return -err;
    return real_.ReadLink(path, target);
}

int FaultyFileSystem::IsMountRoot(int fd)
{
    if (int err = enter(FsCall::MountRoot))
        return -err;
    return real_.IsMountRoot(fd);
}

int FaultyFileSystem::StatWithChangeTime(int folder, const std::string& name, struct stat& st)
{
    if (int err = enter(name.empty() ? FsCall::Stat : FsCall::StatAt))
        return -err;
    return real_.StatWithChangeTime(folder, name, st);
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
    folders_.erase(fd);
    if (lookingFds_.erase(fd) != 0) {
        const int err = enter(FsCall::Look);
        const int rc = real_.Close(fd);
        return err ? -err : rc;
    }
    if (beforeClose) {
        // The close would give back the pass's lease: give it back first, so that the test may open
        // the file without waiting for the kernel to break the lease.
        (void)real_.SetLease(fd, F_UNLCK);
        beforeClose(fd);
    }
    const int err = enter(FsCall::Close);
    // A failing close still releases the descriptor, as on Linux.
    const int rc = real_.Close(fd);
    return err ? -err : rc;
}

std::string FaultyFileSystem::pathIn(int folder, const std::string& name) const
{
    auto it = folders_.find(folder);
    const std::string where = it == folders_.end() ? std::string() : it->second;
    return where.empty() || where == "." ? name : where == "/" ? "/" + name : where + "/" + name;
}

int FaultyFileSystem::UnlinkAt(int folder, const std::string& name)
{
    // A name the engine renamed the file to has had its hook call at the rename.
    if (beforeUnlink && renamedTo_.count(name) == 0)
        beforeUnlink(pathIn(folder, name));
    if (int err = enter(FsCall::Unlink))
        return -err;
    return real_.UnlinkAt(folder, name);
}

int FaultyFileSystem::RenameAt(int folder, const std::string& from, const std::string& to)
{
    // The delete starts with this rename.
    if (beforeUnlink && renamedTo_.count(from) == 0)
        beforeUnlink(pathIn(folder, from));
    renamedTo_.insert(to);
    if (int err = enter(FsCall::Rename))
        return -err;
    return real_.RenameAt(folder, from, to);
}

int FaultyFileSystem::SetLease(int fd, int type)
{
    if (int err = enter(lookingFds_.count(fd) != 0 ? FsCall::ReadLease : FsCall::Lease))
        return -err;
    return real_.SetLease(fd, type);
}

int FaultyFileSystem::GetLease(int fd)
{
    if (int err = enter(FsCall::GetLease))
        return -err;
    int type = real_.GetLease(fd);
    if (alterLease && type >= 0)
        alterLease(type, count(FsCall::GetLease));
    return type;
}

int FaultyFileSystem::SetStatusFlags(int fd, int flags)
{
    if (int err = enter(FsCall::SetFlags))
        return -err;
    return real_.SetStatusFlags(fd, flags);
}

int FaultyFileSystem::GetAttributes(int fd, unsigned& flags)
{
    if (int err = enter(FsCall::Attributes))
        return -err;
    return real_.GetAttributes(fd, flags);
}

int FaultyFileSystem::MapExtents(
    int fd, std::uint64_t start, std::uint32_t most, bool flushFirst, std::vector<Extent>& extents)
{
    if (int err = enter(FsCall::Extents))
        return -err;
    return real_.MapExtents(fd, start, most, flushFirst, extents);
}

int FaultyFileSystem::ReadSmallFile(const std::string& path, std::string& contents)
{
    if (int err = enter(FsCall::ReadFile))
        return -err;
    int rc = real_.ReadSmallFile(path, contents);
    if (alterSmallFile)
        alterSmallFile(path, rc, contents);
    return rc;
}

int FaultyFileSystem::DropCache(int fd)
{
    if (int err = enter(FsCall::DropCache))
        return -err;
    return real_.DropCache(fd);
}

int FaultyFileSystem::SyncFolder(int folder)
{
    if (int err = enter(FsCall::SyncFolder))
        return -err;
    return real_.SyncFolder(folder);
}

int FaultyFileSystem::ListFolder(int folder, const std::string& prefix, std::vector<std::string>& names)
{
    if (int err = enter(FsCall::ListFolder))
        return -err;
    return real_.ListFolder(folder, prefix, names);
}

} // namespace quellon::testing
