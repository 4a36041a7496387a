// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "FileSystem.h"

#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace quellon::testing {

// The kinds of call the engine makes to its file system.
// Opening a file only to name it (O_PATH) or to read its block map (read-only) and closing that
// descriptor count as Look, opening a folder as OpenFolder (its close as Look), so that Open
// (opening the named file again for writing, Reopen) and Close count the descriptors that write
// the file's data: one of each per pass.
enum class FsCall {
    Look,
    Open,
    Stat,
    StatFs,
    Write,
    Read,
    Sync,
    Truncate,
    Writeback,
    AwaitWriteback,
    Close,
    Unlink,
    Lease,
    Attributes,
    Extents,
    ReadFile,
    DropCache,
    SyncFolder,
    OpenFolder,
    StatAt,
    Access,
    Rename,
    ReadLink,
    MountRoot,
    GetLease,
    SetFlags,
    ReadLease, // a read lease asked for (and given back) on a descriptor opened to look at the file
    ListFolder,
};

// Wraps the real file system. It counts calls by kind, can make the Nth call of a kind fail with a
// chosen errno (or, for writes, write only part and fail the next write), and lets a test look at
// the file just before a close or the delete.
class FaultyFileSystem final : public FileSystem {
public:
    struct Fault {
        FsCall call;
        int nth;              // 1-based count of that kind of call
        int error;            // errno to return
        bool partial = false; // writes: write half this time, return `error` on the next write
        int times = 1;        // how many calls in a row, from the nth, fail
    };

    explicit FaultyFileSystem(FileSystem& real) : real_(real) {}

    void failOn(Fault fault) { faults_.push_back(fault); }
    int count(FsCall call) const;

    // Called with the open descriptor just before each close that the engine makes, its lease (which
    // the close would give back) already given back.
    std::function<void(int fd)> beforeClose;
    // Called with the path just before the engine starts to delete it (by a rename to a name of its
    // own, then the unlink): the folder as the engine opened it, a slash and the name.
    std::function<void(const std::string& path)> beforeUnlink;
    // Changes what asking for the lease's state answered (say, F_UNLCK: another program opened
    // the file for writing); `nth` counts those questions from 1.
    std::function<void(int& type, int nth)> alterLease;
    // Change what the real file system answered, to show the engine facts this machine lacks:
    // the statfs of a file (say, the magic number of another file system), a small file read whole
    // (say, the mount table; `rc` is 0 or -errno and may be changed too), or the bytes of a read
    // (`got` is what the read returned and may be changed too).
    std::function<void(struct statfs& st)> alterStatFs;
    std::function<void(const std::string& path, int& rc, std::string& contents)> alterSmallFile;
    std::function<void(char* data, ssize_t& got, off_t offset)> alterRead;
    // Called at the start of every call, before anything reaches the real file system, with the
    // call's kind and its place among all calls so far (from 0, the index it gets in `log`): for
    // tests that act at any chosen moment of a wipe.
    std::function<void(FsCall call, int index)> beforeCall;
    // Every call in order, for tests that check what ran after a failure.
    std::vector<FsCall> log;

    [[nodiscard]] int OpenAt(int folder, const std::string& name, int flags, mode_t mode) override;
    [[nodiscard]] int Reopen(int fd, int flags) override;
    [[nodiscard]] int StatAt(int folder, const std::string& name, struct stat& st) override;
    // Counted as Stat on an open file (empty name), as StatAt otherwise.
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

private:
    // Counts the call; returns the errno to inject (0 for none).
    int enter(FsCall call);
    // `name` in the open folder `folder`, as a path the test can use.
    std::string pathIn(int folder, const std::string& name) const;

    FileSystem& real_;
    std::vector<Fault> faults_;
    std::map<FsCall, int> counts_;
    std::set<int> lookingFds_;
    std::set<std::string> renamedTo_;    // names the engine gave the file before deleting it
    std::map<int, std::string> folders_; // open folder descriptors and the paths they were opened by
    int pendingWriteError_ = 0;
    bool halfWrite_ = false;
};

} // namespace quellon::testing
