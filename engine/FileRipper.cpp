// SPDX-License-Identifier: GPL-3.0-or-later

// One wipe of one file, from the first look at its path to the delete: the passes, the checks
// between them, and the error report when a step fails.

#include "FileRipper.h"

#include "BlockMap.h"
#include "ErrorReport.h"
#include "HeldFile.h"
#include "Safeguards.h"
#include "WipeSupport.h"
#include "Words.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <limits>
#include <numeric>
#include <optional>
#include <string_view>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quellon {
namespace {

using namespace detail;

// The four patterns, one per phase, each repeated from byte 0 over the whole file. Phase 1 is a
// 16-bit zero; the others are ASCII text followed by CR LF.
constexpr std::array<std::string_view, FileRipper::kPhases> kPatterns = {
    std::string_view("\0\0", 2),
    std::string_view("0101010101\r\n"),
    std::string_view("********************\r\n"),
    std::string_view("\r\n"),
};
// A pass writes at least the longest pattern, even over an empty file.
constexpr std::size_t kLongestPattern = std::ranges::max(kPatterns, {}, &std::string_view::size).size();

// Largest write buffer; memory use stays near this whatever the size of the file. Writes go through
// the page cache, and the writeback of each chunk is started as soon as it is written, so the disk
// works while the next chunk is copied. (Direct I/O was measured slower: each write waits for the
// device, one at a time.)
constexpr std::size_t kMaxBuffer = std::size_t{8} << 20;
// How far the writes may run ahead of the disk within a pass. Keeping it short costs no speed, keeps
// the flush at the end of a pass brief and lets progress follow what has really reached the disk.
constexpr std::uint64_t kWriteBehind = std::uint64_t{32} << 20;
constexpr auto kProgressInterval = std::chrono::milliseconds(50);

// Every pass opens the file like this: for reading too where the file may be read, so that the last
// pass can be read back on its own descriptor; never blocking (another program's lease makes the
// open fail at once instead of waiting) and never becoming our controlling terminal.
constexpr int kOpenFlags = O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
constexpr int kWriteOnlyFlags = O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
// The first look at the file's blocks opens it for reading only: that copies nothing up and
// breaks no other program's read lease.
constexpr int kReadFlags = O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
// The file itself is held by a descriptor that only names it, opened by the kernel following the
// path as it would for any open: its link protections and every folder's search permission apply.
// Each pass opens that very file again through it.
constexpr int kPinFlags = O_PATH | O_CLOEXEC;

// How long the first open waits for a program that has the file open (an indexer, a backup tool
// reading it) to close it again before the file is refused as in use.
constexpr int kLeaseTries = 20;
constexpr auto kLeaseRetry = std::chrono::milliseconds(50);

// `value` rounded up to a multiple of `step`.
std::uint64_t roundUp(std::uint64_t value, std::uint64_t step)
{
    return (value + step - 1) / step * step;
}

// The name part of `path`: what follows its last slash.
std::string NameOf(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Whether two stats are of the same file.
bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// One wipe of one path. Each step either succeeds or returns the failure to report.
class Wiping {
public:
    Wiping(FileSystem& files, const std::string& path, WipeObserver* observer)
        : files_(files), path_(path), observer_(observer), held_(files)
    {
    }

    // Runs the whole wipe; on failure `error` holds why it stopped.
    WipeOutcome run(std::optional<StopReason>& error);

private:
    // Before anything is opened for writing (each step's contract is at its definition).
    [[nodiscard]] std::optional<StopReason> locate(struct stat& named);
    [[nodiscard]] std::optional<StopReason> notFollowed(const struct stat& link, int err);
    [[nodiscard]] std::optional<StopReason> refuseBeforeOpening(const struct stat& named);
    [[nodiscard]] std::optional<StopReason> lookBeforeOpening(const struct stat& named);
    [[nodiscard]] std::optional<StopReason> checkPermissions();
    [[nodiscard]] std::optional<StopReason> mapAtFirstLook();
    [[nodiscard]] std::optional<StopReason> inUse(When when);
    // The passes.
    [[nodiscard]] std::optional<StopReason> openFirst(std::optional<Descriptor>& out);
    [[nodiscard]] std::optional<StopReason> mapBlocks(int fd);
    [[nodiscard]] std::optional<StopReason> checkMapUnchanged(int fd);
    [[nodiscard]] std::optional<StopReason> checkBlocks(int fd, When when);
    [[nodiscard]] std::optional<StopReason> planPasses(const struct stat& st);
    [[nodiscard]] std::optional<StopReason> reopen(std::optional<Descriptor>& out, int pass);
    [[nodiscard]] std::optional<StopReason> takeLease(int fd, int pass);
    [[nodiscard]] std::optional<StopReason> checkLease(int fd, int pass);
    [[nodiscard]] std::optional<StopReason> checkSize(int fd, std::uint64_t expected, When when);
    [[nodiscard]] std::optional<StopReason> runPass(Descriptor& file, int pass);
    [[nodiscard]] std::optional<StopReason> finishLastPass(Descriptor& file);
    [[nodiscard]] std::optional<StopReason> finishPass(Descriptor& file, int pass);
    [[nodiscard]] std::optional<StopReason> writeAll(int fd, int pass, std::uint64_t bufferFill);
    void report(int pass, std::uint64_t done, bool force);
    // After the passes.
    [[nodiscard]] std::optional<StopReason> deleteFile();
    [[nodiscard]] std::optional<StopReason> syncFolder();
    [[nodiscard]] std::optional<StopReason> removeLink();
    // Whether `st` is of the file being wiped.
    bool isWiped(const struct stat& st) const { return held_.is(st); }

    FileSystem& files_;
    const std::string& path_; // as the user gave it
    WipeObserver* observer_;

    std::string file_;          // the file to wipe: path_, or the file a link at path_ leads to
    bool viaLink_ = false;      // path_ is a symbolic link to file_
    HeldFile held_;             // the file being wiped, its folder, and the link's
    bool readable_ = true;      // the file may be read, so the last pass is read back
    bool mapped_ = false;       // the file system gave the file's block map
    bool mappedAtLook_ = false; // ... and it was read at the first look, before the open for writing
    BlockMap blocks_;           // where the file's data lay on the device before the first write
    struct stat firstLook_ {};  // the file as first looked at, with its change time
    StorageFacts facts_;        // what the first look found out about the file's storage

    std::uint64_t length_ = 0; // the file's length when the wipe began
    bool leasesAvailable_ = false;
    bool leased_ = false;      // this pass holds a write lease
    std::uint64_t extent_ = 0; // bytes each pass writes
    std::uint64_t bufferSize_ = 0;
    AlignedBuffer buffer_;
    std::chrono::steady_clock::time_point lastReport_{};
};

// The whole wipe, in the order of "How a file is wiped" in the README: find the file the path names
// and hold it and its folder; refuse what must not be wiped; 44 passes, each a complete open,
// overwrite, flush and close, watched by the lease, the size and the block map; then the read-back,
// the cut and the delete (finishLastPass, deleteFile). The first failure ends the wipe.
WipeOutcome Wiping::run(std::optional<StopReason>& error)
{
    std::optional<Descriptor> file;
    struct stat named {};
    if ((error = locate(named)) || (error = refuseBeforeOpening(named)) || (error = mapAtFirstLook()) ||
        (error = lookBeforeOpening(named)) || (error = openFirst(file)))
        return WipeOutcome::Failed;

    int pass = 0;
    for (int phase = 1; phase <= FileRipper::kPhases; ++phase) {
        const std::uint64_t bufferFill = std::min(bufferSize_, extent_);
        fillWithPattern(buffer_.get(), kPatterns[static_cast<std::size_t>(phase - 1)], bufferFill);
        for (int i = 0; i < FileRipper::kPassesPerPhase; ++i) {
            ++pass;
            if (pass > 1 && (error = reopen(file, pass)))
                return WipeOutcome::Failed;
            if ((error = runPass(*file, pass)) || (error = finishPass(*file, pass)))
                return WipeOutcome::Failed;
            file.reset();
            report(pass, extent_, true);
            if (pass < FileRipper::kPasses && observer_ && observer_->CancelRequested())
                return WipeOutcome::Cancelled;
        }
    }

    if ((error = deleteFile()))
        return WipeOutcome::Failed;
    if (viaLink_ && (error = removeLink()))
        return WipeOutcome::Failed;
    return WipeOutcome::Wiped;
}

// Finds the file that the path names, by letting the kernel open it as it would for any open (a
// descriptor that only names it): a symbolic link is followed where Linux lets this user follow it,
// once, and from then on nothing is looked up through a link again. Then holds the file's folder
// and checks that the file's name in it still names the file that was opened; `named` is its fstat.
[[nodiscard]] std::optional<StopReason> Wiping::locate(struct stat& named)
{
    struct stat link {};
    if (int rc = files_.StatWithChangeTime(AT_FDCWD, path_, link); rc == -ENOENT)
        return StopReason{.stop = Stop::Missing};
    else if (rc < 0)
        return Failed(Call::ReadAttributes, -rc);
    viaLink_ = S_ISLNK(link.st_mode);
    if (S_ISDIR(link.st_mode))
        return StopReason{.stop = Stop::Folder};
    const int fd = files_.OpenAt(AT_FDCWD, path_, kPinFlags, 0);
    if (fd < 0)
        return notFollowed(link, -fd);
    Descriptor pin(files_, fd);
    if (int rc = viaLink_ ? files_.StatWithChangeTime(fd, "", named) : files_.Stat(fd, named); rc < 0)
        return Failed(Call::ReadAttributes, -rc);
    // The file opened must be the file first looked at (the one the link leads to: as opened).
    if (!viaLink_ && !SameFile(link, named))
        return StopReason{.stop = Stop::Replaced};
    firstLook_ = viaLink_ ? named : link;
    // Where the path led: a file that has no name any more (a deleted file still open in another
    // program, reached through /proc/PID/fd) is not under its folder to be held there.
    if (named.st_nlink == 0)
        return StopReason{.stop = Stop::Moved};
    file_ = path_;
    if (viaLink_) {
        // Where the link led, as the kernel found it.
        if (int rc = files_.ReadLink("/proc/self/fd/" + std::to_string(fd), file_); rc < 0)
            return Failed(Call::FollowLink, -rc);
        if (S_ISDIR(named.st_mode))
            return StopReason{.stop = Stop::LinkToFolder, .name = file_};
        if (!S_ISREG(named.st_mode))
            return StopReason{.stop = Stop::LinkToNonRegular, .name = file_};
        if (int rc = held_.holdLink(FolderOf(path_), NameOf(path_), link); rc < 0)
            return Failed(Call::OpenFolder, -rc);
    }
    if (int rc = held_.hold(pin.release(), named, FolderOf(file_), NameOf(file_)); rc == -ENOENT)
        return StopReason{.stop = Stop::Moved};
    else if (rc == -ESTALE)
        return StopReason{.stop = Stop::Replaced};
    else if (rc < 0)
        return Failed(held_.folder() < 0 ? Call::OpenFolder : Call::ReadAttributes, -rc);
    return std::nullopt;
}

// Why the kernel would not open the path (errno `err`); `link` is the path's own lstat.
[[nodiscard]] std::optional<StopReason> Wiping::notFollowed(const struct stat& link, int err)
{
    if (err == ENOENT && viaLink_) {
        std::string target;
        if (files_.ReadLink(path_, target) < 0)
            target = "?";
        return StopReason{.stop = Stop::LinkToMissing, .name = target};
    }
    if (err == ENOENT)
        return StopReason{.stop = Stop::Moved};
    // Linux follows a link in a shared folder such as /tmp (sticky, writable by all) only for the
    // link's owner or the folder's owner (fs.protected_symlinks).
    struct stat holder {};
    if (err == EACCES && viaLink_ && files_.StatAt(AT_FDCWD, FolderOf(path_), holder) == 0 &&
        (holder.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH) && link.st_uid != ::geteuid() &&
        link.st_uid != holder.st_uid) {
        return StopReason{.stop = Stop::LinkNotFollowed};
    }
    return Failed(viaLink_ ? Call::FollowLink : Call::Open, err);
}

// Refuses, from the descriptor that names the file (fstat `named`), what must never be opened for
// writing.
[[nodiscard]] std::optional<StopReason> Wiping::refuseBeforeOpening(const struct stat& named)
{
    return CheckBeforeOpening(files_, held_.pin(), named, facts_);
}

// Checks, before anything is opened for writing, everything that would otherwise fail only after
// the passes: a mount point, other names of the file, the delete and the read-back.
[[nodiscard]] std::optional<StopReason> Wiping::lookBeforeOpening(const struct stat& named)
{
    struct stat holder {};
    if (int rc = files_.StatAt(held_.folder(), ".", holder); rc < 0)
        return Failed(Call::ReadFolderAttributes, -rc);
    const int mountRoot = files_.IsMountRoot(held_.pin());
    if (mountRoot < 0)
        return Failed(Call::ReadAttributes, -mountRoot);
    if (mountRoot == 1 || holder.st_dev != named.st_dev)
        return StopReason{.stop = Stop::MountPoint};
    if (named.st_nlink > 1)
        return StopReason{.stop = Stop::HardLinks, .found = static_cast<std::uint64_t>(named.st_nlink) - 1};
    return checkPermissions();
}

// The passes need the file writable. A file that cannot be read is wiped all the same, without
// the read-back of the last pass. Whether the file may be deleted shows at the delete: the overwrite
// comes first, so its content is gone even where the name must stay.
[[nodiscard]] std::optional<StopReason> Wiping::checkPermissions()
{
    if (int rc = files_.Access(held_.folder(), held_.name(), W_OK); rc == -EACCES)
        return StopReason{.stop = Stop::ReadOnly};
    readable_ = files_.Access(held_.folder(), held_.name(), R_OK) != -EACCES;
    return std::nullopt;
}

// Where the file's data lies on the device, read as soon as the file is known to be a regular file
// on storage that an overwrite reaches and before anything waits: every later comparison starts
// from this map, so blocks that another program moves from now on (a defragmenter swapping extents
// leaves size and change time as they were) are never taken for the file's own. A program that has
// the file open for writing is not waited for: it may be moving or rewriting it as we look, and a
// read lease, which Linux grants only while no one has the file open for writing, tells. A file
// that may not be read is mapped at its first open for writing instead.
[[nodiscard]] std::optional<StopReason> Wiping::mapAtFirstLook()
{
    const int fd = held_.open(kReadFlags);
    if (fd == -EACCES)
        return std::nullopt;
    if (fd == -EWOULDBLOCK)
        return inUse(When{});
    if (fd < 0)
        return Failed(Call::Open, -fd);
    Descriptor reader(files_, fd);
    if (int rc = files_.SetLease(fd, F_RDLCK); rc == -EAGAIN)
        return inUse(When{});
    else if (rc == 0 && (rc = files_.SetLease(fd, F_UNLCK)) < 0)
        return Failed(Call::CheckInUse, -rc);
    // Other answers (not the owner, leases off) tell nothing: the lease at the first open judges.
    if (auto error = mapBlocks(fd))
        return error;
    mappedAtLook_ = true;
    if (int rc = files_.Close(reader.release()); rc < 0)
        return Failed(Call::Close, -rc);
    return std::nullopt;
}

// The file is open elsewhere (before pass `when.pass`, or before the passes): by another program,
// or by Quellon itself when the file is its own standard input, output or error.
[[nodiscard]] std::optional<StopReason> Wiping::inUse(When when)
{
    static constexpr const char* kStreams[] = {"standard input", "standard output", "standard error"};
    for (int stream = 0; stream < 3; ++stream) {
        struct stat st {};
        if (files_.Stat(stream, st) == 0 && isWiped(st))
            return StopReason{.stop = Stop::InUse, .when = when, .name = kStreams[stream]};
    }
    return StopReason{.stop = Stop::InUse, .when = when};
}

// First open, through the descriptor that names the file. Its block map (where not read at the
// first look) comes before anything waits, then the lease, then the map once more, which must be
// the map first read, and the fstat: whatever another program changes after that, the lease or
// the block map shows. The identity is checked on the descriptor opened for writing and the
// remaining checks run on it.
[[nodiscard]] std::optional<StopReason> Wiping::openFirst(std::optional<Descriptor>& out)
{
    const int fd = held_.open(readable_ ? kOpenFlags : kWriteOnlyFlags);
    if (fd == -EWOULDBLOCK)
        return inUse(When{});
    if (fd < 0)
        return Failed(Call::OpenForWriting, -fd);
    Descriptor& file = out.emplace(files_, fd);
    if (!mappedAtLook_) {
        if (auto error = mapBlocks(file.get()))
            return error;
    }
    if (auto error = takeLease(file.get(), 1))
        return error;
    if (auto error = checkMapUnchanged(file.get()))
        return error;

    struct stat st {};
    if (int rc = files_.StatWithChangeTime(file.get(), "", st); rc < 0)
        return Failed(Call::ReadAttributes, -rc);
    if (!S_ISREG(st.st_mode))
        return StopReason{.stop = Stop::NotRegular};
    if (!isWiped(st))
        return StopReason{.stop = Stop::Replaced};
    // Before the lease and the block map, only the file's change time and size can tell whether
    // another program wrote to it, cut it or punched a hole in it since it was first looked at.
    if (st.st_size != firstLook_.st_size || st.st_ctim.tv_sec != firstLook_.st_ctim.tv_sec ||
        st.st_ctim.tv_nsec != firstLook_.st_ctim.tv_nsec) {
        return StopReason{.stop = Stop::ChangedAtStart};
    }
    if (auto refused = CheckBeforeWiping(files_, file.get(), st, blocks_, facts_))
        return refused;
    return planPasses(st);
}

// Where the file's data lies on the device before the first write. Data still waiting in memory
// for its place is written out first, so that every block that holds it is known.
[[nodiscard]] std::optional<StopReason> Wiping::mapBlocks(int fd)
{
    const int rc = ReadBlockMap(files_, fd, true, blocks_);
    mapped_ = rc == 0;
    if (rc == -EOPNOTSUPP) {
        blocks_.clear();
        return std::nullopt;
    }
    if (rc < 0)
        return Failed(Call::ReadBlockMap, -rc);
    return std::nullopt;
}

// The map after the lease must be the map first read: blocks moved in between (by a defragmenter
// that had the file open while the lease was waited for) hold the old data where no pass reaches.
[[nodiscard]] std::optional<StopReason> Wiping::checkMapUnchanged(int fd)
{
    if (auto moved = checkBlocks(fd, When{}); moved && moved->stop == Stop::BlocksMoved)
        return StopReason{.stop = Stop::ChangedAtStart};
    else
        return moved;
}

// The blocks that held the file's data must still be its blocks, at the same place in the file: if
// another program cut the file, punched a hole in it or had it moved, the old data was left behind
// in blocks that the passes never reach.
[[nodiscard]] std::optional<StopReason> Wiping::checkBlocks(int fd, When when)
{
    if (!mapped_)
        return std::nullopt;
    BlockMap now;
    if (int rc = ReadBlockMap(files_, fd, false, now); rc < 0)
        return Failed(Call::ReadBlockMap, -rc, when);
    if (StillInPlace(blocks_, now))
        return std::nullopt;
    return StopReason{.stop = Stop::BlocksMoved, .when = when};
}

// From the open file's fstat `st`: the length, the bytes each pass covers, and the write buffer.
[[nodiscard]] std::optional<StopReason> Wiping::planPasses(const struct stat& st)
{
    length_ = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    // The file system's own block, the unit it gives space in: not the preferred I/O size
    // (st_blksize), which can be megabytes (XFS with largeio, a RAID stripe).
    const std::uint64_t block = facts_.blockSize > 0 ? facts_.blockSize : kPageSize;
    // Cover the whole file and the slack of its last block; a pass writes at least one pattern.
    if (length_ > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) - block)
        return StopReason{.stop = Stop::TooLarge};
    extent_ = roundUp(std::max<std::uint64_t>(length_, kLongestPattern), block);
    const std::uint64_t allocated = st.st_blocks > 0 ? static_cast<std::uint64_t>(st.st_blocks) * 512 : 0;
    if (length_ == 0 && allocated == 0 && facts_.freeBytes < extent_) {
        // An empty file holds no data to overwrite: on a full disk its passes write nothing.
        extent_ = 0;
    }
    // A sparse file's holes get blocks of their own in the first pass: refuse it before any write
    // if they cannot all fit, rather than fill the disk and stop halfway. A file without holes
    // needs at most the slack of its last block, which its last block already has.
    const std::uint64_t needed = roundUp(length_, block);
    if (needed > allocated && needed - allocated > facts_.freeBytes)
        return StopReason{.stop = Stop::NoSpaceForHoles, .expected = needed - allocated, .found = facts_.freeBytes};

    // The buffer holds whole repeats of every pattern and whole pages, so each write starts on a
    // pattern boundary and suits direct I/O. A small file needs no more than its own length.
    std::uint64_t unit = kPageSize;
    for (std::string_view pattern : kPatterns)
        unit = std::lcm(unit, pattern.size());
    const std::uint64_t largest = kMaxBuffer / unit * unit;
    bufferSize_ = std::min(largest, std::max<std::uint64_t>(roundUp(extent_, kPageSize), kPageSize));
    buffer_ = allocatePages(bufferSize_);
    if (!buffer_)
        return Failed(Call::AllocateBuffer, ENOMEM);
    return std::nullopt;
}

// A write lease tells us when another program opens the file: the kernel cannot grant it while
// any other descriptor is open on the file, and breaks it when one is opened or the file is
// truncated. It is held where a change would otherwise go unseen: through the first pass (the old
// content is still there) and from the last pass to the cut (nothing overwrites the file after
// it). Whatever another program does in between is overwritten by the passes that follow, and
// the size, the block map and the read-back before the cut show anything they cannot reach.
// Before the first write, a program holding the file open is waited for briefly and then refused.
// Once the wipe has started, a program that has opened the file (an indexer, a virus scanner)
// never stops it: the last pass goes ahead without the lease, and the checks before the cut judge.
// Takes the write lease for `pass` on `fd`, or says why the wipe cannot go on.
[[nodiscard]] std::optional<StopReason> Wiping::takeLease(int fd, int pass)
{
    leased_ = false;
    if (pass > 1 && (!leasesAvailable_ || pass < FileRipper::kPasses))
        return std::nullopt;
    const bool strict = pass == 1;
    int rc = files_.SetLease(fd, F_WRLCK);
    for (int tries = 1; rc == -EAGAIN && strict && tries < kLeaseTries; ++tries) {
        std::this_thread::sleep_for(kLeaseRetry);
        rc = files_.SetLease(fd, F_WRLCK);
    }
    if (rc == 0) {
        leasesAvailable_ = true;
        leased_ = true;
        return std::nullopt;
    }
    if (rc == -EAGAIN)
        return strict ? inUse(When{}) : std::nullopt;
    // Leases not available here: not the owner without CAP_LEASE (EACCES), a file system or a
    // system that offers none (EINVAL, leases-enable off). The wipe goes on without them.
    if (pass == 1 && (rc == -EACCES || rc == -EPERM || rc == -EINVAL || rc == -ENOSYS || rc == -EOPNOTSUPP))
        return std::nullopt;
    // The first pass's lease is taken at the first open, before anything is written.
    return Failed(Call::CheckInUse, -rc, pass == 1 ? When{} : When::inPass(pass));
}

// While the lease is being broken, the kernel tells what the other program asked for: a read
// (F_RDLCK) changes nothing, and that program simply waits until this pass closes the file; a
// write or a truncate (F_UNLCK) stops the wipe before the other program can go ahead.
[[nodiscard]] std::optional<StopReason> Wiping::checkLease(int fd, int pass)
{
    if (!leased_)
        return std::nullopt;
    const int type = files_.GetLease(fd);
    if (type < 0)
        return Failed(Call::CheckInUse, -type, When::inPass(pass));
    if (type == F_UNLCK)
        return StopReason{.stop = Stop::OpenedForWriting, .when = When::inPass(pass)};
    return std::nullopt;
}

// The file open as `fd` must still be `expected` bytes long.
[[nodiscard]] std::optional<StopReason> Wiping::checkSize(int fd, std::uint64_t expected, When when)
{
    struct stat st {};
    if (int rc = files_.Stat(fd, st); rc < 0)
        return Failed(Call::ReadAttributes, -rc, when);
    const std::uint64_t size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    if (size == expected)
        return std::nullopt;
    return StopReason{.stop = Stop::Resized, .when = when, .expected = expected, .found = size};
}

// Later passes: the file is opened again through the descriptor that names it, so nothing else (a
// device node, a FIFO, a link swapped in under its name) is ever opened, and its size must still be
// the size the passes write. Whether the name still names it is asked once, at the delete.
[[nodiscard]] std::optional<StopReason> Wiping::reopen(std::optional<Descriptor>& out, int pass)
{
    const int fd = held_.open(readable_ ? kOpenFlags : kWriteOnlyFlags);
    if (fd == -EWOULDBLOCK)
        return inUse(When::inPass(pass));
    if (fd < 0)
        return Failed(Call::OpenForWriting, -fd, When::inPass(pass));
    Descriptor& file = out.emplace(files_, fd);

    struct stat st {};
    if (int rc = files_.Stat(file.get(), st); rc < 0)
        return Failed(Call::ReadAttributes, -rc, When::inPass(pass));
    const std::uint64_t size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    if (size != extent_)
        return checkSize(file.get(), extent_, When::inPass(pass));
    return takeLease(file.get(), pass);
}

// Tells the observer how far the pass has got, at most every kProgressInterval unless `force`.
void Wiping::report(int pass, std::uint64_t done, bool force)
{
    if (!observer_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - lastReport_ < kProgressInterval)
        return;
    lastReport_ = now;
    observer_->Progress(WipeProgress{path_, pass, done, extent_});
}

// Writes the buffer's pattern over bytes [0, extent) of the file, looping over short writes.
[[nodiscard]] std::optional<StopReason> Wiping::writeAll(int fd, int pass, std::uint64_t bufferFill)
{
    std::uint64_t done = 0;
    while (done < extent_) {
        // Each chunk starts at a multiple of the buffer size, which holds whole patterns.
        const std::uint64_t chunkStart = done / bufferFill * bufferFill;
        const std::uint64_t inChunk = done - chunkStart;
        const std::uint64_t size = std::min(bufferFill, extent_ - chunkStart) - inChunk;
        const ssize_t written = files_.WriteAt(fd, buffer_.get() + inChunk, size, static_cast<off_t>(done));
        if (written <= 0)
            return Failed(Call::Write, written < 0 ? static_cast<int>(-written) : EIO, When::inPass(pass));
        // A file of several chunks: send this one on its way to the disk now (only a hint: the flush
        // at the end of the pass is what counts), and wait for what was written long enough ago.
        if (extent_ > bufferFill) {
            (void)files_.StartWriteback(fd, static_cast<off_t>(done), written);
            if (done >= kWriteBehind) {
                const off_t behind = static_cast<off_t>(done - kWriteBehind);
                if (int rc = files_.AwaitWriteback(fd, behind, written); rc < 0)
                    return Failed(Call::Flush, -rc, When::inPass(pass));
            }
            if (auto error = checkLease(fd, pass))
                return error;
        }
        done += static_cast<std::uint64_t>(written);
        report(pass, done, false);
    }
    return std::nullopt;
}

// One pass on an open file: overwrite it all and flush it to the device; the last pass is then
// finished by finishLastPass.
[[nodiscard]] std::optional<StopReason> Wiping::runPass(Descriptor& file, int pass)
{
    if (auto error = writeAll(file.get(), pass, std::min(bufferSize_, extent_)))
        return error;
    if (int rc = files_.Sync(file.get()); rc < 0)
        return Failed(Call::Flush, -rc, When::inPass(pass));
    if (auto error = checkLease(file.get(), pass))
        return error;
    if (pass == 1) {
        if (auto error = checkBlocks(file.get(), When::inPass(pass)))
            return error;
    }
    return pass < FileRipper::kPasses ? std::nullopt : finishLastPass(file);
}

// After the last pass has been flushed: the file is read back on the same descriptor, its size
// looked at once more, and it is cut to the last pattern (CR LF) and flushed again, all under the
// lease.
[[nodiscard]] std::optional<StopReason> Wiping::finishLastPass(Descriptor& file)
{
    // What a step that fails here leaves: an overwritten file, with what is left of it.
    auto leaving = [](StopReason reason, Left left) {
        reason.when = When::after();
        reason.left = left;
        return reason;
    };
    if (!readable_ || extent_ == 0) {
        // Not readable, or nothing written: nothing to read back.
    } else if (auto problem = VerifyOverwrite(files_, file.get(), extent_, kPatterns.back())) {
        // A difference means the overwrite cannot be vouched for; a failed read says nothing of it.
        return leaving(*problem, problem->stop == Stop::CallFailed ? Left::FullLengthNotReadBack : Left::Unsaid);
    }
    const When afterLast{readable_ ? When::Stage::LastPassReadBack : When::Stage::LastPassWritten};
    if (auto error = checkSize(file.get(), extent_, afterLast))
        return error;
    if (auto error = checkBlocks(file.get(), afterLast))
        return error;
    if (auto error = checkLease(file.get(), FileRipper::kPasses))
        return error;
    const off_t last = static_cast<off_t>(kPatterns.back().size());
    if (int rc = files_.Truncate(file.get(), last); rc < 0)
        return leaving(Failed(Call::Truncate, -rc), Left::FullLength);
    if (int rc = files_.Sync(file.get()); rc < 0)
        return leaving(Failed(Call::Flush, -rc), Left::CutNotOnDisk);
    return checkLease(file.get(), FileRipper::kPasses);
}

// Closes the pass's descriptor, which gives back its lease.
[[nodiscard]] std::optional<StopReason> Wiping::finishPass(Descriptor& file, int pass)
{
    leased_ = false; // the close gives the lease back
    if (int rc = files_.Close(file.release()); rc < 0)
        return Failed(Call::Close, -rc, When::inPass(pass));
    return std::nullopt;
}

// Deletes the file, but only while its name still names the file that was wiped (HeldFile says
// how), and flushes its folder so that the delete reaches the disk too.
[[nodiscard]] std::optional<StopReason> Wiping::deleteFile()
{
    using Outcome = HeldFile::Deletion::Outcome;
    const HeldFile::Deletion deletion = held_.deleteName();
    switch (deletion.outcome) {
    case Outcome::Deleted: held_.removeLeftovers(); return syncFolder();
    case Outcome::Gone:
        return StopReason{.stop = Stop::MovedBeforeDelete, .when = When::after(), .left = Left::NotUnderName};
    case Outcome::Replaced:
        return StopReason{.stop = Stop::ReplacedBeforeDelete,
            .when = When::after(),
            .left = Left::NotUnderName,
            .name = deletion.strandedAs};
    case Outcome::Failed: {
        StopReason failed =
            Failed(deletion.step == HeldFile::Deletion::Step::Look ? Call::ReadAttributes : Call::Delete, deletion.err,
                When::after());
        failed.left = deletion.strandedAs.empty() ? Left::InPlace : Left::InFolderAs;
        failed.name = deletion.strandedAs;
        return failed;
    }
    }
    return std::nullopt;
}

// Flushes the folder after the delete.
[[nodiscard]] std::optional<StopReason> Wiping::syncFolder()
{
    if (int rc = held_.syncFolder(); rc < 0)
        return Failed(Call::FlushFolder, -rc, When::after());
    return std::nullopt;
}

// The link the user chose goes last, deleted as the file was: only while its name still names that
// very link (a file put under its name in the meantime keeps it), and its folder flushed. A link
// someone else removed already needs nothing more.
[[nodiscard]] std::optional<StopReason> Wiping::removeLink()
{
    using Outcome = HeldFile::Deletion::Outcome;
    int flushErr = 0;
    const HeldFile::Deletion deletion = held_.removeLink(flushErr);
    switch (deletion.outcome) {
    case Outcome::Gone: return std::nullopt;
    case Outcome::Deleted:
        if (flushErr < 0)
            return Failed(Call::FlushFolder, -flushErr, When::after());
        return std::nullopt;
    case Outcome::Replaced:
        // `found` 1: what took the link's name could not get it back and is named instead.
        return StopReason{.stop = Stop::LinkReplaced,
            .when = When::after(),
            .name = deletion.strandedAs.empty() ? file_ : deletion.strandedAs,
            .found = deletion.strandedAs.empty() ? 0U : 1U};
    case Outcome::Failed: break;
    }
    StopReason failed = Failed(Call::DeleteLink, deletion.err, When::after());
    failed.name = file_;
    return failed;
}

} // namespace

WipeOutcome WipeFile(
    FileSystem& files, const std::string& path, WipeObserver* observer, std::optional<StopReason>& reason)
{
    reason.reset();
    return Wiping(files, path, observer).run(reason);
}

FileRipper::FileRipper(MessageBox& messages, FileSystem& files) : messages_(messages), files_(files)
{
}

void FileRipper::CleanQuellon(const std::string& path)
{
    (void)Wipe(path, nullptr);
}

WipeOutcome FileRipper::Wipe(const std::string& path, WipeObserver* observer)
{
    std::optional<StopReason> reason;
    const WipeOutcome outcome = WipeFile(files_, path, observer, reason);
    if (outcome == WipeOutcome::Failed && reason)
        ShowErrorReport(messages_, ReportFor(*reason, path));
    return outcome;
}

} // namespace quellon
