#include "FileRipper.h"

#include "ErrorReport.h"
#include "Safeguards.h"
#include "WipeSupport.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <numeric>
#include <optional>
#include <utility>

#include <fcntl.h>

namespace quellon {
namespace {

using detail::AlignedBuffer;
using detail::allocatePages;
using detail::Descriptor;
using detail::failure;
using detail::kPageSize;
using detail::quoted;
using detail::refusal;
using detail::replaced;

// The four patterns, one per phase, each repeated from byte 0 over the whole file. Phase 1 is a
// 16-bit zero; the others are ASCII text followed by CR LF.
constexpr std::array<std::string_view, FileRipper::kPhases> kPatterns = {
    std::string_view("\0\0", 2),
    std::string_view("0101010101\r\n"),
    std::string_view("********************\r\n"),
    std::string_view("\r\n"),
};
static_assert(kPatterns[0].size() == 2 && kPatterns[1].size() == 12 && kPatterns[2].size() == 22 &&
              kPatterns[3].size() == 2);
constexpr std::size_t kLongestPattern = 22;

// Largest write buffer; memory use stays near this whatever the size of the file. Writes go through
// the page cache, and the writeback of each chunk is started as soon as it is written, so the disk
// works while the next chunk is copied. (Direct I/O was measured slower: each write waits for the
// device, one at a time.)
constexpr std::size_t kMaxBuffer = std::size_t{8} << 20;
// How far the writes may run ahead of the disk within a pass. Keeping it short costs no speed, keeps
// the flush at the end of a pass brief and lets progress follow what has really reached the disk.
constexpr std::uint64_t kWriteBehind = std::uint64_t{32} << 20;
constexpr auto kProgressInterval = std::chrono::milliseconds(50);

// Every pass reopens the file like this: write only, never blocking (a FIFO without a reader must
// not hang us) and never becoming our controlling terminal.
constexpr int kOpenFlags = O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;

std::string passText(int pass)
{
    return " (pass " + std::to_string(pass) + " of " + std::to_string(FileRipper::kPasses) + ")";
}

std::uint64_t roundUp(std::uint64_t value, std::uint64_t step)
{
    return (value + step - 1) / step * step;
}

// One wipe of one path. Each step either succeeds or returns the failure to report.
class Wiping {
public:
    Wiping(FileSystem& files, const std::string& path, WipeObserver* observer)
        : files_(files), path_(path), observer_(observer)
    {
    }

    // Runs the whole wipe; on failure `error` holds what to report.
    WipeOutcome run(std::optional<ErrorInfo>& error);

private:
    std::optional<ErrorInfo> openFirst(std::optional<Descriptor>& out);
    std::optional<ErrorInfo> reopen(std::optional<Descriptor>& out, int pass);
    std::optional<ErrorInfo> runPass(Descriptor& file, int pass);
    std::optional<ErrorInfo> writeAll(int fd, int pass, std::uint64_t bufferFill);
    void fillBuffer(std::string_view pattern, std::uint64_t bufferFill);
    void report(int phase, int pass, std::uint64_t done, bool force);

    FileSystem& files_;
    const std::string& path_;
    WipeObserver* observer_;

    dev_t device_ = 0;
    ino_t inode_ = 0;
    bool created_ = false; // the first open created the file
    std::uint64_t extent_ = 0; // bytes each pass writes
    std::uint64_t bufferSize_ = 0;
    AlignedBuffer buffer_;
    std::chrono::steady_clock::time_point lastReport_{};
};

// First open: the file as it is, or created empty if it does not exist (in a folder that does).
// What the path names is looked at before it is opened for writing; the file's identity and length
// are then taken from the descriptor opened for writing.
std::optional<ErrorInfo> Wiping::openFirst(std::optional<Descriptor>& out)
{
    struct stat named {};
    StorageFacts facts;
    const int probe = files_.Open(path_, O_PATH | O_CLOEXEC, 0);
    if (probe >= 0) {
        Descriptor look(files_, probe);
        if (int rc = files_.Stat(probe, named); rc < 0)
            return failure(-rc, "Cannot read the attributes of " + quoted(path_));
        if (auto refused = CheckBeforeOpening(files_, probe, named, path_, facts))
            return refused;
    } else if (probe != -ENOENT) {
        return failure(-probe, "Cannot open " + quoted(path_) + " for writing");
    }

    int fd = probe == -ENOENT ? -ENOENT : files_.Open(path_, kOpenFlags, 0);
    if (fd == -ENOENT) {
        fd = files_.Open(path_, kOpenFlags | O_CREAT | O_EXCL, 0600);
        if (fd < 0)
            return failure(-fd, "Cannot create " + quoted(path_));
        created_ = true;
    } else if (fd < 0) {
        return failure(-fd, "Cannot open " + quoted(path_) + " for writing");
    }
    Descriptor& file = out.emplace(files_, fd);

    struct stat st {};
    if (int rc = files_.Stat(file.get(), st); rc < 0)
        return failure(-rc, "Cannot read the attributes of " + quoted(path_));
    if (!S_ISREG(st.st_mode))
        return refusal(EINVAL, path_, "is not a regular file");
    // A file this wipe has just created is empty and ours: nothing to guard.
    if (!created_) {
        if (st.st_dev != named.st_dev || st.st_ino != named.st_ino)
            return replaced(path_, "");
        if (auto refused = CheckBeforeWiping(files_, file.get(), st, path_, facts))
            return refused;
    }

    device_ = st.st_dev;
    inode_ = st.st_ino;
    const std::uint64_t length = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    const std::uint64_t block = st.st_blksize > 0 ? static_cast<std::uint64_t>(st.st_blksize) : kPageSize;
    // Cover the whole file and the slack of its last block; a pass writes at least one pattern.
    if (length > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) - block)
        return ErrorInfo{EFBIG, quoted(path_) + " is too large to wipe", FileRipper::kSource};
    extent_ = roundUp(std::max<std::uint64_t>(length, kLongestPattern), block);

    // The buffer holds whole repeats of every pattern and whole pages, so each write starts on a
    // pattern boundary and suits direct I/O. A small file needs no more than its own length.
    std::uint64_t unit = kPageSize;
    for (std::string_view pattern : kPatterns)
        unit = std::lcm(unit, pattern.size());
    const std::uint64_t largest = kMaxBuffer / unit * unit;
    bufferSize_ = std::min(largest, roundUp(extent_, kPageSize));
    buffer_ = allocatePages(bufferSize_);
    if (!buffer_)
        return failure(ENOMEM, "Cannot wipe " + quoted(path_));
    return std::nullopt;
}

// Later passes open the file again by its path and make sure it is still the same file.
std::optional<ErrorInfo> Wiping::reopen(std::optional<Descriptor>& out, int pass)
{
    const int fd = files_.Open(path_, kOpenFlags, 0);
    if (fd < 0)
        return failure(-fd, "Cannot open " + quoted(path_) + " for writing" + passText(pass));
    Descriptor& file = out.emplace(files_, fd);

    struct stat st {};
    if (int rc = files_.Stat(file.get(), st); rc < 0)
        return failure(-rc, "Cannot read the attributes of " + quoted(path_) + passText(pass));
    if (st.st_dev != device_ || st.st_ino != inode_)
        return replaced(path_, passText(pass));
    return std::nullopt;
}

void Wiping::fillBuffer(std::string_view pattern, std::uint64_t bufferFill)
{
    char* out = buffer_.get();
    for (std::uint64_t at = 0; at < bufferFill; at += pattern.size())
        std::memcpy(out + at, pattern.data(), std::min<std::uint64_t>(pattern.size(), bufferFill - at));
}

void Wiping::report(int phase, int pass, std::uint64_t done, bool force)
{
    if (!observer_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - lastReport_ < kProgressInterval)
        return;
    lastReport_ = now;
    observer_->Progress(WipeProgress{path_, phase, pass, done, extent_});
}

// Writes the buffer's pattern over bytes [0, extent) of the file, looping over short writes.
std::optional<ErrorInfo> Wiping::writeAll(int fd, int pass, std::uint64_t bufferFill)
{
    const int phase = (pass - 1) / FileRipper::kPassesPerPhase + 1;
    std::uint64_t done = 0;
    while (done < extent_) {
        // Each chunk starts at a multiple of the buffer size, which holds whole patterns.
        const std::uint64_t chunkStart = done / bufferFill * bufferFill;
        const std::uint64_t inChunk = done - chunkStart;
        const std::uint64_t size = std::min(bufferFill, extent_ - chunkStart) - inChunk;
        const ssize_t written = files_.WriteAt(fd, buffer_.get() + inChunk, size, static_cast<off_t>(done));
        if (written < 0)
            return failure(static_cast<int>(-written), "Cannot write to " + quoted(path_) + passText(pass));
        if (written == 0)
            return failure(EIO, "Cannot write to " + quoted(path_) + passText(pass));
        // A file of several chunks: send this one on its way to the disk now (only a hint: the flush
        // at the end of the pass is what counts), and wait for what was written long enough ago.
        if (extent_ > bufferFill) {
            (void)files_.StartWriteback(fd, static_cast<off_t>(done), written);
            if (done >= kWriteBehind) {
                const off_t behind = static_cast<off_t>(done - kWriteBehind);
                if (int rc = files_.AwaitWriteback(fd, behind, written); rc < 0)
                    return failure(-rc, "Cannot flush " + quoted(path_) + " to the disk" + passText(pass));
            }
        }
        done += static_cast<std::uint64_t>(written);
        report(phase, pass, done, false);
    }
    return std::nullopt;
}

// One pass on an open file: overwrite it all, flush it to the device, and after the last pass cut
// it to the last pattern (CR LF) and flush again. The caller closes it.
std::optional<ErrorInfo> Wiping::runPass(Descriptor& file, int pass)
{
    if (auto error = writeAll(file.get(), pass, std::min(bufferSize_, extent_)))
        return error;
    if (int rc = files_.Sync(file.get()); rc < 0)
        return failure(-rc, "Cannot flush " + quoted(path_) + " to the disk" + passText(pass));
    if (pass == FileRipper::kPasses) {
        if (auto error = VerifyOverwrite(files_, path_, device_, inode_, extent_, kPatterns.back()))
            return error;
        const off_t last = static_cast<off_t>(kPatterns.back().size());
        if (int rc = files_.Truncate(file.get(), last); rc < 0)
            return failure(-rc, "Cannot truncate " + quoted(path_));
        if (int rc = files_.Sync(file.get()); rc < 0)
            return failure(-rc, "Cannot flush " + quoted(path_) + " to the disk");
    }
    return std::nullopt;
}

WipeOutcome Wiping::run(std::optional<ErrorInfo>& error)
{
    std::optional<Descriptor> file;
    if ((error = openFirst(file)))
        return WipeOutcome::Failed;

    int pass = 0;
    for (int phase = 1; phase <= FileRipper::kPhases; ++phase) {
        const std::uint64_t bufferFill = std::min(bufferSize_, extent_);
        fillBuffer(kPatterns[static_cast<std::size_t>(phase - 1)], bufferFill);
        for (int i = 0; i < FileRipper::kPassesPerPhase; ++i) {
            ++pass;
            if (pass > 1 && (error = reopen(file, pass)))
                return WipeOutcome::Failed;
            if ((error = runPass(*file, pass)))
                return WipeOutcome::Failed;
            if (int rc = files_.Close(file->release()); rc < 0) {
                error = failure(-rc, "Cannot close " + quoted(path_) + passText(pass));
                return WipeOutcome::Failed;
            }
            file.reset();
            report(phase, pass, extent_, true);
            if (pass < FileRipper::kPasses && observer_ && observer_->CancelRequested())
                return WipeOutcome::Cancelled;
        }
    }

    if (int rc = files_.Unlink(path_); rc < 0) {
        error = failure(-rc, "Cannot delete " + quoted(path_));
        return WipeOutcome::Failed;
    }
    if ((error = FlushFolderOf(files_, path_)))
        return WipeOutcome::Failed;
    return WipeOutcome::Wiped;
}

} // namespace

FileRipper::FileRipper(MessageBox& messages, FileSystem& files) : messages_(messages), files_(files) {}

void FileRipper::CleanQuellon(std::string path)
{
    (void)Wipe(path, nullptr);
}

WipeOutcome FileRipper::Wipe(const std::string& path, WipeObserver* observer)
{
    std::optional<ErrorInfo> error;
    const WipeOutcome outcome = Wiping(files_, path, observer).run(error);
    if (outcome == WipeOutcome::Failed && error)
        ShowErrorReport(messages_, *error);
    return outcome;
}

} // namespace quellon
