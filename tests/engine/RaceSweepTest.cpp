// SPDX-License-Identifier: GPL-3.0-or-later

// Another program acting at every moment of a wipe, not only at hand-picked ones: for each action
// in the table and each file-system call a wipe makes, a fresh small file of unique markers on a
// real ext4 image is wiped while the action runs just before that call. Whatever happened, the
// wipe must end in one of two ways: a success, with the file gone and none of its old blocks on the
// device holding any of its markers; or exactly one report. Either way every other file is left as
// it was. Only the file's old blocks (from its block map) are read, which keeps the sweep fast.
#include "BlockMap.h"
#include "Defragmenter.h"
#include "FaultyFileSystem.h"
#include "FileRipper.h"
#include "LoopImage.h"
#include "RecordingMessageBox.h"
#include "Rows.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quellon::testing {
namespace {

namespace fs = std::filesystem;
using quellon::testing::PrintTo;
using quellon::testing::RowName;

constexpr std::size_t kBlock = 4096;
constexpr std::size_t kFileSize = 3 * kBlock;
constexpr std::size_t kMarkerSize = 16;

// The first part of every marker of case `number`: found nowhere else on the image.
std::string tagOf(int number)
{
    char tag[16];
    static_cast<void>(std::snprintf(tag, sizeof tag, "QS%06d:", number));
    return tag;
}

// kFileSize bytes of 16-byte markers: the case's tag, the marker's offset and a line break.
std::string markersOf(int number)
{
    const std::string tag = tagOf(number);
    std::string out;
    out.reserve(kFileSize);
    char offset[16];
    while (out.size() < kFileSize) {
        static_cast<void>(std::snprintf(offset, sizeof offset, "%06zu\n", out.size()));
        out += tag;
        out += offset;
    }
    return out;
}

// Writes `contents` to a new file at `path` and flushes it, so that its blocks are allocated.
bool put(const std::string& path, const std::string& contents)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool written = ::pwrite(fd, contents.data(), contents.size(), 0) == static_cast<ssize_t>(contents.size());
    const bool flushed = ::fdatasync(fd) == 0;
    return ::close(fd) == 0 && written && flushed;
}

// A stretch of the device, in bytes.
struct Range {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// Where the data of the file at `path` lies on its device (flushed first); empty on failure.
std::vector<Range> blocksOf(const std::string& path)
{
    PosixFileSystem files;
    BlockMap map;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool mapped = fd >= 0 && ReadBlockMap(files, fd, true, map) == 0;
    if (fd >= 0)
        ::close(fd);
    std::vector<Range> ranges;
    for (const Extent& extent : mapped ? map : BlockMap{})
        ranges.push_back({extent.physical, extent.length});
    return ranges;
}

// How many markers with `tag` the device holds in `ranges`.
std::size_t markersIn(const LoopImage& image, const std::vector<Range>& ranges, const std::string& tag)
{
    std::size_t found = 0;
    for (const Range& range : ranges) {
        const std::string bytes = image.readRaw(range.offset, range.length);
        for (std::size_t at = bytes.find(tag); at != std::string::npos; at = bytes.find(tag, at + 1))
            ++found;
    }
    return found;
}

// One case's files, all in its own folder on the image: the file to wipe in a/, a file of the same
// name in b/, a sentinel beside them, and whatever the action adds.
struct Scene {
    fs::path root;
    fs::path folder;                                         // root/a, the file's folder
    std::string path;                                        // root/a/victim, what the wipe is given
    std::vector<std::pair<std::string, std::string>> others; // path and content of every other file
    int held = -1;                                           // a descriptor the action keeps open
    std::string trouble;                                     // what went wrong in the action itself
};

// Opens the file for writing as another program would, but never waits on the wipe's lease
// (O_NONBLOCK): where the lease stands in the way the open fails at once and the kernel starts
// breaking the lease, which the wipe sees. Waiting here would hang this thread, the wipe's own,
// for the kernel's lease-break time.
int openForWriting(const Scene& scene, int extra = 0)
{
    return ::open(scene.path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | extra);
}

// Runs `act` on the file opened for writing, when it can be opened.
void withFileOpen(Scene& scene, int extra, const std::function<bool(int fd)>& act)
{
    const int fd = openForWriting(scene, extra);
    if (fd < 0)
        return;
    if (!act(fd))
        scene.trouble = "the action's own call failed: errno " + std::to_string(errno);
    ::close(fd);
}

// What another program does to the file, just before one call of the wipe.
struct Adversary {
    const char* name;
    std::function<void(Scene&)> act;
    // What it does before the wipe has read where the file's data lies leaves no trace that any
    // program can see (a move that keeps size and change time): to the wipe, that is the file as
    // it was given, and the old blocks were freed before it began. Swept from the first map on.
    bool untraceableBeforeTheMap = false;
};

const std::string kOtherBytes(kFileSize, 'R');

// Renames `from`; once the wipe has deleted it there is nothing left to rename.
void moveName(Scene& scene, const fs::path& from, const fs::path& to)
{
    if (::rename(from.c_str(), to.c_str()) != 0 && errno != ENOENT)
        scene.trouble = "cannot rename " + from.string();
}

const Adversary kAdversaries[] = {
    {"appends_to_it",
        [](Scene& s) {
            const std::string more = "appended by another program\n";
            withFileOpen(s, O_APPEND, [&](int fd) { return ::write(fd, more.data(), more.size()) > 0; });
        }},
    {"cuts_it_to_0", [](Scene& s) { withFileOpen(s, 0, [](int fd) { return ::ftruncate(fd, 0) == 0; }); }},
    {"cuts_it_and_regrows_it_as_a_hole",
        [](Scene& s) {
            withFileOpen(s, 0, [](int fd) { return ::ftruncate(fd, 0) == 0 && ::ftruncate(fd, kFileSize) == 0; });
        }},
    {"cuts_it_and_writes_other_bytes_back",
        [](Scene& s) {
            withFileOpen(s, 0,
                [](int fd) { return ::ftruncate(fd, 0) == 0 && ::pwrite(fd, kOtherBytes.data(), kFileSize, 0) > 0; });
        }},
    {"punches_a_hole_over_it",
        [](Scene& s) {
            withFileOpen(s, 0,
                [](int fd) { return ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, kFileSize) == 0; });
        }},
    {"renames_it_away", [](Scene& s) { moveName(s, s.path, s.folder / "moved-away"); }},
    // As a program saves: a new file renamed over the name. The file being wiped then has no name
    // left; only the wipe's descriptors keep it. The new file is someone else's and must be left
    // alone: a success can only mean the wiped file is gone, which it is once it has no name.
    {"puts_another_file_in_its_place",
        [](Scene& s) {
            const std::string other = (s.folder / "victim.new").string();
            if (!put(other, "another program's new file\n"))
                s.trouble = "cannot write " + other;
            moveName(s, other, s.path);
            s.others.emplace_back(s.path, "another program's new file\n");
        }},
    // The path then leads through the link to b/victim, which is another file.
    {"swaps_the_folder_for_a_link",
        [](Scene& s) {
            moveName(s, s.folder, s.root / "a-moved");
            if (::symlink("b", s.folder.c_str()) != 0)
                s.trouble = "cannot make the link";
        }},
    // Kept open, without writing, until the wipe returns.
    {"opens_it_for_writing_and_holds_it", [](Scene& s) { s.held = openForWriting(s); }},
    // As e4defrag does: the data copied to new blocks, the old ones, with the old data, freed; size
    // and change time unchanged. Where the wipe's lease stands in the way, the open fails at once.
    {"moves_its_blocks_as_a_defragmenter_does",
        [](Scene& s) {
            // It cannot open the file under the wipe's lease, nor move pages that are being written
            // out (EBUSY): then it does nothing, as e4defrag would.
            const std::string trouble = moveBlocksAsADefragmenterDoes(s.path);
            if (!trouble.empty() && trouble.rfind("open:", 0) != 0 && trouble.find("busy") == std::string::npos)
                s.trouble = "the defragmenter failed: " + trouble;
        },
        true},
};

std::string kindOf(FsCall call)
{
    static const char* const names[] = {"Look", "Open", "Stat", "StatFs", "Write", "Read", "Sync", "Truncate",
        "Writeback", "AwaitWriteback", "Close", "Unlink", "Lease", "Attributes", "Extents", "ReadFile", "DropCache",
        "SyncFolder", "OpenFolder", "StatAt", "Access", "Rename", "ReadLink", "MountRoot", "GetLease", "SetFlags",
        "ReadLease", "ListFolder"};
    const auto at = static_cast<std::size_t>(call);
    return at < std::size(names) ? names[at] : "call " + std::to_string(at);
}

// Which pass call `index` of a wipe whose calls were `log` belongs to: 0 before the passes, 1 to
// 44, and kPasses + 1 after them (from the delete on). A pass begins with its open.
int passOf(const std::vector<FsCall>& log, int index)
{
    int pass = 0;
    int lastClose = -1;
    for (std::size_t i = 0; i < log.size(); ++i) {
        if (log[i] == FsCall::Close)
            lastClose = static_cast<int>(i);
    }
    for (int i = 0; i <= index; ++i) {
        if (log[static_cast<std::size_t>(i)] == FsCall::Open)
            ++pass;
    }
    return index > lastClose && pass > 0 ? FileRipper::kPasses + 1 : pass;
}

// Where call `index` falls: "Write, pass 1", "StatAt, after the passes".
std::string momentOf(const std::vector<FsCall>& log, int index)
{
    const int pass = passOf(log, index);
    const std::string kind = kindOf(log[static_cast<std::size_t>(index)]);
    if (pass == 0)
        return kind + ", before the passes";
    if (pass > FileRipper::kPasses)
        return kind + ", after the passes";
    return kind + ", pass " + std::to_string(pass);
}

// Which file a name names: its inode and the inode's generation, since a deleted file's inode
// number is soon given to a new one. Zeros for anything but a regular file.
struct Identity {
    ino_t inode = 0;
    long generation = 0;
    bool operator==(const Identity&) const = default;
};

Identity identityOf(const std::string& path)
{
    Identity id;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return id;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::ioctl(fd, FS_IOC_GETVERSION, &id.generation) == 0)
        id.inode = st.st_ino;
    ::close(fd);
    return id;
}

// The one invariant, whatever another program did: a success means no report, the file gone (no
// name in the case's folder names it any more) and none of its old blocks holding its markers;
// anything else is exactly one report. Every other file keeps its content either way. Returns what
// was broken, or nothing.
std::string broken(const Scene& scene, WipeOutcome outcome, const RecordingMessageBox& messages, const LoopImage& image,
    const std::vector<Range>& oldBlocks, const std::string& tag, const Identity& file)
{
    std::string out;
    const auto note = [&out](const std::string& what) { out += (out.empty() ? "" : "; ") + what; };
    for (const auto& [path, content] : scene.others) {
        if (readFile(path) != content)
            note("another file touched: " + fs::path(path).lexically_relative(scene.root).string());
    }
    switch (outcome) {
    case WipeOutcome::Cancelled: note("cancelled, with no observer to ask for it"); break;
    case WipeOutcome::Failed:
        if (messages.shown.size() != 1)
            note("failed with " + std::to_string(messages.shown.size()) + " reports");
        break;
    case WipeOutcome::Wiped: {
        if (!messages.shown.empty())
            note("success with " + std::to_string(messages.shown.size()) + " reports");
        std::error_code ec;
        for (fs::recursive_directory_iterator it(scene.root, ec), end; !ec && it != end; it.increment(ec)) {
            if (identityOf(it->path().string()) == file)
                note("success, but the file is still there as " + it->path().lexically_relative(scene.root).string());
        }
        if (const std::size_t left = markersIn(image, oldBlocks, tag); left > 0)
            note("success with " + std::to_string(left) + " markers left in the file's old blocks");
        break;
    }
    }
    return out;
}

// One loop-mounted ext4 image for the whole sweep. It lives on tmpfs where there is one: every
// wipe flushes 44 times, and a flush that reaches a disk would make the sweep take many minutes.
class RaceSweep : public ::testing::TestWithParam<Adversary> {
protected:
    static void SetUpTestSuite() { setUpImage("mkfs.ext4 -q -F -b 4096"); }

    // The suite's image, made with `mkfs`.
    static void setUpImage(const char* mkfs)
    {
        unavailable = LoopImage::whyUnavailable("mkfs.ext4");
        if (!unavailable.empty())
            return;
        std::error_code ec;
        dir = fs::is_directory("/dev/shm", ec) ? std::make_unique<TempDir>("/dev/shm") : std::make_unique<TempDir>();
        image = std::make_unique<LoopImage>(dir->path().string(), 64, mkfs, "");
    }

    static void TearDownTestSuite()
    {
        image.reset();
        dir.reset();
    }

    // Makes a case's files on the image; `number` makes its markers unique.
    static Scene setUpScene(int number)
    {
        Scene scene;
        scene.root = fs::path(image->mountPoint()) / "case";
        scene.folder = scene.root / "a";
        scene.path = (scene.folder / "victim").string();
        fs::create_directories(scene.folder);
        fs::create_directories(scene.root / "b");
        scene.others = {{(scene.root / "sentinel").string(), "sentinel of case " + std::to_string(number) + "\n"},
            {(scene.root / "b" / "victim").string(), "b's own file, case " + std::to_string(number) + "\n"}};
        for (const auto& [path, content] : scene.others)
            EXPECT_TRUE(put(path, content)) << path;
        EXPECT_TRUE(put(scene.path, markersOf(number))) << scene.path;
        return scene;
    }

    static void tearDownScene(Scene& scene)
    {
        if (scene.held >= 0)
            ::close(std::exchange(scene.held, -1));
        std::error_code ec;
        fs::remove_all(scene.root, ec);
    }

    // Wipes a fresh file with `adversary` acting just before call `at` (none when negative), and
    // says what broke the invariant; `log` receives the calls the wipe made.
    static std::string runCase(
        const Adversary* adversary, int at, bool leases, std::vector<FsCall>& log, FsCall& actedAt)
    {
        const int number = ++cases;
        Scene scene = setUpScene(number);
        const std::string tag = tagOf(number);
        const std::vector<Range> oldBlocks = blocksOf(scene.path);
        const Identity file = identityOf(scene.path);
        if (file.inode == 0 || oldBlocks.empty() || markersIn(*image, oldBlocks, tag) != kFileSize / kMarkerSize) {
            tearDownScene(scene);
            return "the file's markers are not where its block map says: the search proves nothing";
        }

        PosixFileSystem real;
        FaultyFileSystem files{real};
        RecordingMessageBox messages;
        FileRipper ripper{messages, files};
        // Leases unavailable, as for another user's file or with leases-enable off: the wipe then
        // holds none and cannot hear of another program opening the file.
        if (!leases)
            files.failOn({FsCall::Lease, 1, EINVAL, false, 1 << 20});
        bool acted = false;
        files.beforeCall = [&](FsCall call, int index) {
            if (adversary == nullptr || index != at)
                return;
            acted = true;
            actedAt = call;
            adversary->act(scene);
        };
        const WipeOutcome outcome = ripper.Wipe(scene.path, nullptr);
        files.beforeCall = nullptr;
        if (scene.held >= 0)
            ::close(std::exchange(scene.held, -1));

        std::string result = broken(scene, outcome, messages, *image, oldBlocks, tag, file);
        if (adversary != nullptr && !acted)
            result = "the action never ran";
        if (!scene.trouble.empty())
            result += (result.empty() ? "" : "; ") + scene.trouble;
        log = std::move(files.log);
        tearDownScene(scene);
        return result;
    }

    // Runs the adversary at every call of the wipe but the first (see below); returns the broken
    // cases.
    static std::string sweep(const Adversary& adversary, bool leases) { return sweepFrom(adversary, leases, false); }

    // The same; with `fromTheFirstMap`, only from the moment the wipe has read where the file's data
    // lies: before that, where change times are coarse, a rewrite of the same size within one tick
    // of the first look leaves nothing that any program can see, and the file the wipe then finds is
    // the file it was given.
    static std::string sweepFrom(const Adversary& adversary, bool leases, bool fromTheFirstMap)
    {
        std::vector<FsCall> plain;
        FsCall unused{};
        if (std::string result = runCase(nullptr, -1, leases, plain, unused); !result.empty())
            return "a wipe with nobody acting: " + result;
        const int calls = static_cast<int>(plain.size());
        std::string out;
        int failures = 0;
        int moments = 0;
        // From 1: an action before the wipe's first look is no race, only another file to begin
        // with (a link in place of the folder, say, does lead to the file the user then means).
        const auto firstMap = std::find(plain.begin(), plain.end(), FsCall::Extents);
        const int from = fromTheFirstMap ? static_cast<int>(firstMap - plain.begin()) + 1 : 1;
        for (int at = from; at < calls; ++at) {
            ++moments;
            std::vector<FsCall> log;
            FsCall actedAt{};
            const std::string result = runCase(&adversary, at, leases, log, actedAt);
            if (result.empty())
                continue;
            ++failures;
            out += "\n  call " + std::to_string(at) + " (" + momentOf(plain, at) + "): " + result;
            if (actedAt != plain[static_cast<std::size_t>(at)])
                out += " [acted at " + kindOf(actedAt) + ", not the plain wipe's call]";
        }
        std::printf("%s, leases %s: %d calls a wipe, %d moments swept, %d broken\n", adversary.name,
            leases ? "on" : "off", calls, moments, failures);
        return out;
    }

    // Sweeps every call of a wipe, with leases or without, and expects the invariant to hold.
    void expectTheInvariantEverywhere(bool leases, bool fromTheFirstMap = false)
    {
        if (!unavailable.empty())
            GTEST_SKIP() << "race sweep skipped: " << unavailable;
        ASSERT_TRUE(image->error().empty()) << image->error();
        const bool coarse = !fromTheFirstMap && !fineChangeTimes();
        if (coarse)
            std::printf("change times here count clock ticks: moments before the first block map are not swept\n");
        const std::string broken =
            sweepFrom(GetParam(), leases, fromTheFirstMap || coarse || GetParam().untraceableBeforeTheMap);
        EXPECT_TRUE(broken.empty()) << GetParam().name << " broke the invariant at:" << broken;
    }

    // Whether a change right after a look at the file moves its change time on, here: not where
    // change times count only clock ticks (Debian 12's kernel), where a change within the tick of
    // the first look leaves nothing to see before the wipe has read the file's block map.
    static bool fineChangeTimes()
    {
        const std::string probe = image->mountPoint() + "/tick-probe";
        const int fd = ::open(probe.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        bool fine = fd >= 0;
        for (int i = 0; fine && i < 20; ++i) {
            struct statx before {};
            struct statx after {};
            fine = ::statx(fd, "", AT_EMPTY_PATH, STATX_CTIME, &before) == 0 && ::pwrite(fd, "x", 1, i) == 1 &&
                ::statx(fd, "", AT_EMPTY_PATH, STATX_CTIME, &after) == 0 &&
                (before.stx_ctime.tv_sec != after.stx_ctime.tv_sec ||
                    before.stx_ctime.tv_nsec != after.stx_ctime.tv_nsec);
        }
        if (fd >= 0)
            ::close(fd);
        ::unlink(probe.c_str());
        return fine;
    }

    static inline std::string unavailable;
    static inline std::unique_ptr<TempDir> dir;
    static inline std::unique_ptr<LoopImage> image;
    static inline int cases = 0;
};

// Without a write lease, as for another user's file or with leases-enable off: nothing then tells
// the wipe that another program opened the file, so a cut or a hole punched at the wrong moment
// is seen only by what the wipe itself looks at.
TEST_P(RaceSweep, WithoutLeasesTrueSuccessOrOneReportAtEveryCall)
{
    expectTheInvariantEverywhere(false);
}

// With a write lease, as for the user's own files and for root: the lease tells the wipe of another
// program's open, and the actions open without waiting for it (see openForWriting). A file held
// open before the first pass keeps the wipe waiting about a second for its lease.
TEST_P(RaceSweep, WithLeasesTrueSuccessOrOneReportAtEveryCall)
{
    expectTheInvariantEverywhere(true);
}

INSTANTIATE_TEST_SUITE_P(OtherPrograms, RaceSweep, ::testing::ValuesIn(kAdversaries), RowName<Adversary>);

// The same on ext4 with 128-byte inodes, whose change times count whole seconds (as every file
// system's count only clock ticks on older kernels): a program that rewrites the file at the same
// size changes neither its size nor, within the tick, its change time. Only the block map can tell.
class CoarseTimesRaceSweep : public RaceSweep {
protected:
    static void SetUpTestSuite() { setUpImage("mkfs.ext4 -q -F -b 4096 -I 128"); }
};

TEST_P(CoarseTimesRaceSweep, WithoutLeasesTrueSuccessOrOneReportFromTheFirstMap)
{
    expectTheInvariantEverywhere(false, true);
}

TEST_P(CoarseTimesRaceSweep, WithLeasesTrueSuccessOrOneReportFromTheFirstMap)
{
    expectTheInvariantEverywhere(true, true);
}

INSTANTIATE_TEST_SUITE_P(OtherPrograms, CoarseTimesRaceSweep, ::testing::ValuesIn(kAdversaries), RowName<Adversary>);

} // namespace
} // namespace quellon::testing
