// SPDX-License-Identifier: GPL-3.0-or-later

// One wipe of one file, from the first look at its path to the delete, in the steps of "How a file
// is wiped" in the README: the facts and the verdict on them (Refusals), the passes (PassWriter)
// watched for another program's changes (Watch), the read-back (ReadBack) and the delete (HeldFile).

#include "FileRipper.h"

#include "ErrorReport.h"
#include "HeldFile.h"
#include "PassWriter.h"
#include "Passes.h"
#include "ReadBack.h"
#include "Refusals.h"
#include "Watch.h"
#include "WipeSupport.h"
#include "Words.h"

#include <cerrno>
#include <optional>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quellon {
namespace {

using namespace detail;

// Every pass opens the file like this: for reading too where the file may be read, so that the last
// pass can be read back on its own descriptor; never blocking (another program's lease makes the
// open fail at once instead of waiting) and never becoming our controlling terminal.
constexpr int kOpenFlags = O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
constexpr int kWriteOnlyFlags = O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
// The file itself is held by a descriptor that only names it, opened by the kernel following the
// path as it would for any open: its link protections and every folder's search permission apply.
// Each pass opens that very file again through it.
constexpr int kPinFlags = O_PATH | O_CLOEXEC;

// How a wipe ended, and why it stopped when it did not succeed.
struct Ending {
    WipeOutcome outcome = WipeOutcome::Wiped;
    std::optional<StopReason> reason;
};

Ending failedFor(StopReason reason)
{
    return Ending{WipeOutcome::Failed, std::move(reason)};
}

// One wipe of one path. Each step either succeeds or returns the failure to report.
class Wiping {
public:
    Wiping(FileSystem& files, const std::string& path, WipeObserver* observer)
        : files_(files), path_(path), held_(files), watch_(files, held_), writer_(files, path, observer, watch_),
          observer_(observer)
    {
    }

    [[nodiscard]] Ending run();

private:
    // Look and hold: the file the path names, its folder, and the link's (each step's contract is
    // at its definition).
    [[nodiscard]] std::optional<StopReason> look();
    [[nodiscard]] std::optional<StopReason> notFollowed(const struct stat& link, int err);
    // Refuse: the facts, the verdict, and the first open for writing.
    [[nodiscard]] std::optional<StopReason> refuse(std::optional<Descriptor>& first);
    // The passes, the read-back, the cut, and the delete.
    [[nodiscard]] std::optional<StopReason> open(std::optional<Descriptor>& out, int pass);
    [[nodiscard]] std::optional<StopReason> runPass(Descriptor& file, int pass);
    [[nodiscard]] std::optional<StopReason> readBackAndCut(Descriptor& file);
    [[nodiscard]] std::optional<StopReason> deleteFile();
    [[nodiscard]] std::optional<StopReason> removeLink();

    FileSystem& files_;
    const std::string& path_; // as the user gave it
    std::string file_;        // the file to wipe: path_, or the file a link at path_ leads to
    HeldFile held_;           // the file being wiped, its folder, and the link's
    FileFacts facts_;         // everything known of the file before its first write
    Watch watch_;             // its block map, its size and the lease, from the first look on
    PassWriter writer_;       // the writes of a pass
    WipeObserver* observer_;
};

// The whole wipe: look at the path and hold the file and its folder; refuse what must not be wiped;
// 44 passes, each a complete open, overwrite, flush and close, watched by the lease, the size and
// the block map; then the read-back, the cut and the delete. The first failure ends the wipe.
Ending Wiping::run()
{
    std::optional<Descriptor> file;
    if (auto stop = look())
        return failedFor(*stop);
    if (auto stop = refuse(file))
        return failedFor(*stop);
    for (int pass = 1; pass <= kPasses; ++pass) {
        if ((pass - 1) % kPassesPerPhase == 0)
            writer_.fill((pass - 1) / kPassesPerPhase + 1);
        if (pass > 1) {
            if (auto stop = open(file, pass))
                return failedFor(*stop);
        }
        if (auto stop = runPass(*file, pass))
            return failedFor(*stop);
        if (pass == kPasses) {
            if (auto stop = readBackAndCut(*file))
                return failedFor(*stop);
        }
        // Closing the pass's descriptor gives its lease back.
        watch_.closing();
        if (int rc = files_.Close(file->release()); rc < 0)
            return failedFor(Failed(Call::Close, -rc, When::inPass(pass)));
        file.reset();
        writer_.report(pass, writer_.extent(), true);
        if (pass < kPasses && observer_ && observer_->CancelRequested())
            return Ending{WipeOutcome::Cancelled, std::nullopt};
    }
    if (auto stop = deleteFile())
        return failedFor(*stop);
    if (facts_.viaLink) {
        if (auto stop = removeLink())
            return failedFor(*stop);
    }
    return Ending{};
}

// Finds the file that the path names, by letting the kernel open it as it would for any open (a
// descriptor that only names it): a symbolic link is followed where Linux lets this user follow it,
// once, and from then on nothing is looked up through a link again. Then holds the file's folder
// and checks that the file's name in it still names the file that was opened.
std::optional<StopReason> Wiping::look()
{
    struct stat link {};
    if (int rc = files_.StatWithChangeTime(AT_FDCWD, path_, link); rc == -ENOENT)
        return StopReason{.stop = Stop::Missing};
    else if (rc < 0)
        return Failed(Call::ReadAttributes, -rc);
    facts_.viaLink = S_ISLNK(link.st_mode);
    if (S_ISDIR(link.st_mode))
        return StopReason{.stop = Stop::Folder};
    const int fd = files_.OpenAt(AT_FDCWD, path_, kPinFlags, 0);
    if (fd < 0)
        return notFollowed(link, -fd);
    Descriptor pin(files_, fd);
    struct stat& named = facts_.named;
    if (int rc = facts_.viaLink ? files_.StatWithChangeTime(fd, "", named) : files_.Stat(fd, named); rc < 0)
        return Failed(Call::ReadAttributes, -rc);
    // The file opened must be the file first looked at (the one the link leads to: as opened).
    if (!facts_.viaLink && (link.st_dev != named.st_dev || link.st_ino != named.st_ino))
        return StopReason{.stop = Stop::Replaced};
    facts_.firstLook = facts_.viaLink ? named : link;
    file_ = path_;
    if (facts_.viaLink) {
        // Where the link led, as the kernel found it.
        if (int rc = files_.ReadLink("/proc/self/fd/" + std::to_string(fd), file_); rc < 0)
            return Failed(Call::FollowLink, -rc);
        facts_.linkTarget = file_;
        if (int rc = held_.holdLink(FolderOf(path_), NameOf(path_), link); rc < 0)
            return Failed(Call::OpenFolder, -rc);
    }
    // A file whose name is gone names nothing in its folder: so also a deleted file still open in
    // another program, reached through /proc/PID/fd ("... (deleted)").
    if (int rc = held_.hold(pin.release(), named, FolderOf(file_), NameOf(file_)); rc == -ENOENT)
        return StopReason{.stop = Stop::Moved};
    else if (rc == -ESTALE)
        return StopReason{.stop = Stop::Replaced};
    else if (rc < 0)
        return Failed(held_.folder() < 0 ? Call::OpenFolder : Call::ReadAttributes, -rc);
    return std::nullopt;
}

// Why the kernel would not open the path (errno `err`); `link` is the path's own lstat.
std::optional<StopReason> Wiping::notFollowed(const struct stat& link, int err)
{
    if (err == ENOENT && facts_.viaLink) {
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
    if (err == EACCES && facts_.viaLink && files_.StatAt(AT_FDCWD, FolderOf(path_), holder) == 0 &&
        (holder.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH) && link.st_uid != ::geteuid() &&
        link.st_uid != holder.st_uid) {
        return StopReason{.stop = Stop::LinkNotFollowed};
    }
    return Failed(facts_.viaLink ? Call::FollowLink : Call::Open, err);
}

// Everything known before the first write, and the verdict on it, in two stages: before anything
// is opened for writing (opening can itself copy data: overlay copies the file up), with the block
// map read at that first look; then on the first descriptor open for writing, once the lease is
// taken and the map read again. `first` is left open for the first pass.
std::optional<StopReason> Wiping::refuse(std::optional<Descriptor>& first)
{
    if (auto failed = GatherBeforeOpening(files_, held_.pin(), held_.folder(), held_.name(), facts_))
        return failed;
    if (auto refused = Refusal(facts_, Stage::BeforeOpening))
        return refused;
    if (auto stop = watch_.mapAtFirstLook())
        return stop;
    const int fd = held_.open(facts_.readable ? kOpenFlags : kWriteOnlyFlags);
    if (fd == -EWOULDBLOCK)
        return watch_.inUse(When{});
    if (fd < 0)
        return Failed(Call::OpenForWriting, -fd);
    Descriptor& file = first.emplace(files_, fd);
    if (auto stop = watch_.atFirstOpen(file.get()))
        return stop;
    if (auto failed = GatherAfterOpening(files_, file.get(), watch_.firstMap(), facts_))
        return failed;
    if (auto refused = Refusal(facts_, Stage::Opened))
        return refused;
    return writer_.plan(PassExtent(facts_));
}

// Later passes: the file is opened again through the descriptor that names it, so nothing else (a
// device node, a FIFO, a link swapped in under its name) is ever opened, and its size must still be
// the size the passes write. Whether the name still names it is asked once, at the delete.
std::optional<StopReason> Wiping::open(std::optional<Descriptor>& out, int pass)
{
    const int fd = held_.open(facts_.readable ? kOpenFlags : kWriteOnlyFlags);
    if (fd == -EWOULDBLOCK)
        return watch_.inUse(When::inPass(pass));
    if (fd < 0)
        return Failed(Call::OpenForWriting, -fd, When::inPass(pass));
    Descriptor& file = out.emplace(files_, fd);
    if (auto changed = watch_.checkSize(file.get(), writer_.extent(), When::inPass(pass)))
        return changed;
    return watch_.takeLease(file.get(), pass);
}

// One pass on an open file: overwrite it all and flush it to the device, under the watch.
std::optional<StopReason> Wiping::runPass(Descriptor& file, int pass)
{
    if (auto error = writer_.writeAll(file.get(), pass))
        return error;
    if (int rc = files_.Sync(file.get()); rc < 0)
        return Failed(Call::Flush, -rc, When::inPass(pass));
    if (auto error = watch_.checkLease(file.get(), pass))
        return error;
    if (pass == 1)
        return watch_.checkBlocks(file.get(), When::inPass(pass));
    return std::nullopt;
}

// After the last pass has been flushed: the file is read back on the same descriptor, its size
// and blocks looked at once more, and it is cut to the last pattern (CR LF) and flushed again, all
// under the lease.
std::optional<StopReason> Wiping::readBackAndCut(Descriptor& file)
{
    // What a step that fails here leaves: an overwritten file, with what is left of it.
    auto leaving = [](StopReason reason, Left left) {
        reason.when = When::after();
        reason.left = left;
        return reason;
    };
    const std::uint64_t extent = writer_.extent();
    if (!facts_.readable || extent == 0) {
        // Not readable, or nothing written: nothing to read back.
    } else if (auto problem = VerifyOverwrite(files_, file.get(), extent, kPatterns.back())) {
        // A difference means the overwrite cannot be vouched for; a failed read says nothing of it.
        return leaving(*problem, problem->stop == Stop::CallFailed ? Left::FullLengthNotReadBack : Left::Unsaid);
    }
    const When afterLast{facts_.readable ? When::Stage::LastPassReadBack : When::Stage::LastPassWritten};
    if (auto error = watch_.checkSize(file.get(), extent, afterLast))
        return error;
    if (auto error = watch_.checkBlocks(file.get(), afterLast))
        return error;
    if (auto error = watch_.checkLease(file.get(), kPasses))
        return error;
    const off_t last = static_cast<off_t>(kPatterns.back().size());
    if (int rc = files_.Truncate(file.get(), last); rc < 0)
        return leaving(Failed(Call::Truncate, -rc), Left::FullLength);
    if (int rc = files_.Sync(file.get()); rc < 0)
        return leaving(Failed(Call::Flush, -rc), Left::CutNotOnDisk);
    return watch_.checkLease(file.get(), kPasses);
}

// Deletes the file, but only while its name still names the file that was wiped (HeldFile says
// how), clears what killed wipes left in the folder, and flushes the folder so that the delete
// reaches the disk too.
std::optional<StopReason> Wiping::deleteFile()
{
    using Outcome = HeldFile::Deletion::Outcome;
    const HeldFile::Deletion deletion = held_.deleteName();
    switch (deletion.outcome) {
    case Outcome::Deleted:
        held_.removeLeftovers();
        if (int rc = held_.syncFolder(); rc < 0)
            return Failed(Call::FlushFolder, -rc, When::after());
        return std::nullopt;
    case Outcome::Gone:
        return StopReason{.stop = Stop::MovedBeforeDelete, .when = When::after(), .left = Left::NotUnderName};
    case Outcome::Replaced:
        return StopReason{.stop = Stop::ReplacedBeforeDelete,
            .when = When::after(),
            .left = Left::NotUnderName,
            .name = deletion.strandedAs};
    case Outcome::Failed: break;
    }
    StopReason failed = Failed(deletion.step == HeldFile::Deletion::Step::Look ? Call::ReadAttributes : Call::Delete,
        deletion.err, When::after());
    failed.left = deletion.strandedAs.empty() ? Left::InPlace : Left::InFolderAs;
    failed.name = deletion.strandedAs;
    return failed;
}

// The link the user chose goes last, deleted as the file was: only while its name still names that
// very link (a file put under its name in the meantime keeps it), and its folder flushed. A link
// someone else removed already needs nothing more.
std::optional<StopReason> Wiping::removeLink()
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
    Ending ending = Wiping(files, path, observer).run();
    reason = std::move(ending.reason);
    return ending.outcome;
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
