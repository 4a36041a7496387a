// SPDX-License-Identifier: GPL-3.0-or-later

// The wipe through the real file system: what the file holds after each phase, what is left at the
// end, and how files that must not be wiped are refused.
#include "WipeTestSupport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <numeric>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace quellon::testing {
namespace {

namespace fs = std::filesystem;
using quellon::testing::PrintTo;

const std::string kPatterns[] = {std::string("\0\0", 2), "0101010101\r\n", "********************\r\n", "\r\n"};

struct SizeCase {
    const char* name;
    long size;
    std::size_t extent; // bytes every pass covers, in 4 KiB blocks: at least one pattern
};

class WipeBySize : public WipeTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(WipeBySize, OverwritesEveryPhaseThenLeavesCrLfAndDeletes)
{
    const std::string path = dir.file("victim");
    writeFile(path, repeated("secret!", static_cast<std::size_t>(GetParam().size)));

    // Look at the file as each pass closes it; keep the state at each phase's end.
    std::map<int, std::string> atPhaseEnd;
    std::size_t block = 0;
    int closes = 0;
    files.beforeClose = [&](int fd) {
        if ((::fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY)
            return; // not a pass
        ++closes;
        struct stat st {};
        ASSERT_EQ(::fstat(fd, &st), 0);
        block = static_cast<std::size_t>(st.st_blksize);
        if (closes % FileRipper::kPassesPerPhase == 0)
            atPhaseEnd[closes / FileRipper::kPassesPerPhase] = readFile(path);
    };
    std::string beforeDelete;
    files.beforeUnlink = [&](const std::string& p) { beforeDelete = readFile(p); };

    EXPECT_EQ(wipe(path), WipeOutcome::Wiped);

    EXPECT_EQ(stopped, std::nullopt);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(closes, 44);
    EXPECT_EQ(beforeDelete, "\r\n");
    ASSERT_EQ(block, 4096u) << "the rows state what passes cover on a file system of 4 KiB blocks";
    const std::size_t extent = GetParam().extent;
    for (int phase = 1; phase <= 3; ++phase)
        EXPECT_EQ(atPhaseEnd[phase], repeated(kPatterns[phase - 1], extent)) << "after phase " << phase;
    EXPECT_EQ(atPhaseEnd[4], "\r\n");
}

INSTANTIATE_TEST_SUITE_P(Sizes, WipeBySize,
    ::testing::Values(SizeCase{"empty", 0, 4096}, SizeCase{"one_byte", 1, 4096}, SizeCase{"a_hundred_bytes", 100, 4096},
        SizeCase{"one_whole_block", 4096, 4096}, SizeCase{"one_MiB", 1 << 20, 1 << 20},
        SizeCase{"larger_than_the_write_buffer_and_not_block_aligned", (9L << 20) + 3, (9u << 20) + 4096}),
    RowName<SizeCase>);

class Wipe : public WipeTest {};

// The second wipe finds nothing: it says so and creates nothing.
TEST_F(Wipe, SamePathTwiceWipesThenReportsItGone)
{
    const std::string path = dir.file("twice");
    writeFile(path, "data");
    ripper.CleanQuellon(path);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(messages.shown.empty());
    ripper.CleanQuellon(path);
    EXPECT_FALSE(fs::exists(path));
    expectOneReport(messages, ReportFor({.stop = Stop::Missing}, path));
    EXPECT_EQ(files.count(FsCall::Unlink), 1);
}

TEST_F(Wipe, ShortWritesAreContinuedNotTakenForSuccess)
{
    const std::string path = dir.file("short");
    writeFile(path, std::string(10000, 'x'));
    files.failOn({FsCall::Write, 1, 0, true}); // half of the first write, then go on normally
    std::string afterFirstPass;
    files.beforeClose = [&](int) {
        if (afterFirstPass.empty())
            afterFirstPass = readFile(path);
    };
    EXPECT_EQ(wipe(path), WipeOutcome::Wiped);
    EXPECT_EQ(stopped, std::nullopt);
    EXPECT_EQ(afterFirstPass.find('x'), std::string::npos);
}

// A link chosen by the user is followed once: its file is wiped and deleted, then the link goes.
TEST_F(Wipe, SymbolicLinkWipesAndDeletesItsFileThenTheLink)
{
    const std::string target = dir.file("target");
    const std::string link = dir.file("link");
    writeFile(target, std::string(5000, 's'));
    ASSERT_EQ(::symlink("target", link.c_str()), 0);
    std::string lastPass;
    files.beforeUnlink = [&](const std::string& p) {
        if (lastPass.empty())
            lastPass = readFile(p);
    };
    EXPECT_EQ(wipe(link), WipeOutcome::Wiped);
    EXPECT_EQ(stopped, std::nullopt);
    EXPECT_EQ(lastPass, "\r\n");
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    EXPECT_FALSE(fs::exists(fs::symlink_status(target)));
}

// Everything in a folder, for "left exactly as it was": each name with its type and content, or
// where a link points.
std::map<std::string, std::string> snapshot(const fs::path& folder)
{
    std::map<std::string, std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const std::string name = entry.path().lexically_relative(folder).string();
        if (entry.is_symlink())
            out[name] = "-> " + fs::read_symlink(entry.path()).string();
        else if (entry.is_regular_file())
            out[name] = readFile(entry.path().string());
        else
            out[name] = entry.is_directory() ? "<folder>" : "<other>";
    }
    return out;
}

// Paths that are refused before anything is opened for writing: the reason, nothing changed.
struct RefusalCase {
    const char* name;
    // Makes what the row needs in `dir` and returns the path to wipe ("" and `skip` set: not here).
    std::function<std::string(const TempDir& dir, std::string& skip)> setUp;
    FaultyFileSystem::Fault fault; // injected as well, when its errno is not 0
    StopReason reason;             // %d in its name: the test's folder
};

class WipeRefusal : public WipeTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(WipeRefusal, ReportsOnceAndChangesNothing)
{
    const RefusalCase& c = GetParam();
    std::string skip;
    const std::string path = c.setUp(dir, skip);
    if (!skip.empty())
        GTEST_SKIP() << skip;
    if (c.fault.error != 0)
        files.failOn(c.fault);
    const auto before = snapshot(dir.path());

    EXPECT_EQ(wipe(path), WipeOutcome::Failed);

    StopReason expected = c.reason;
    if (const std::size_t at = expected.name.find("%d"); at != std::string::npos)
        expected.name.replace(at, 2, fs::canonical(dir.path()).string());
    EXPECT_EQ(stopped, expected);
    EXPECT_EQ(files.count(FsCall::Open), 0) << "nothing is opened for writing";
    EXPECT_EQ(files.count(FsCall::Unlink), 0);
    (void)::umount2(dir.file("mounted").c_str(), MNT_DETACH);
    EXPECT_EQ(snapshot(dir.path()), before);
}

std::string plainFile(const TempDir& dir, std::string&)
{
    writeFile(dir.file("victim"), "keep me");
    return dir.file("victim");
}

// "victim" with `others` more names for its content; no hard links on this file system is a skip.
std::string hardLinked(const TempDir& dir, std::string& skip, std::initializer_list<const char*> others)
{
    writeFile(dir.file("victim"), "shared");
    for (const char* other : others)
        if (::link(dir.file("victim").c_str(), dir.file(other).c_str()) != 0)
            skip = "no hard links here";
    return dir.file("victim");
}

INSTANTIATE_TEST_SUITE_P(Paths, WipeRefusal,
    ::testing::Values(
        RefusalCase{"missing_file_in_an_existing_folder",
            [](const TempDir& d, std::string&) { return d.file("Report.txt"); }, {}, {.stop = Stop::Missing}},
        RefusalCase{"missing_folder", [](const TempDir& d, std::string&) { return d.file("no-such-folder/file"); }, {},
            {.stop = Stop::Missing}},
        RefusalCase{"missing_name_that_is_not_valid_utf8",
            [](const TempDir& d, std::string&) {
                writeFile(d.file("report.txt"), "the real file");
                return d.file("report\xFF.txt");
            },
            {}, {.stop = Stop::Missing}},
        RefusalCase{"hard_link_with_one_other_name",
            [](const TempDir& d, std::string& skip) { return hardLinked(d, skip, {"snapshot"}); }, {},
            {.stop = Stop::HardLinks, .found = 1}},
        RefusalCase{"hard_link_with_two_other_names",
            [](const TempDir& d, std::string& skip) {
                return hardLinked(d, skip, {"one", "two"});
            },
            {}, {.stop = Stop::HardLinks, .found = 2}},
        RefusalCase{"dangling_symbolic_link",
            [](const TempDir& d, std::string&) {
                fs::create_symlink("nowhere", d.file("dangling"));
                return d.file("dangling");
            },
            {}, {.stop = Stop::LinkToMissing, .name = "nowhere"}},
        RefusalCase{"symbolic_link_to_a_fifo",
            [](const TempDir& d, std::string&) {
                (void)::mkfifo(d.file("fifo").c_str(), 0600);
                fs::create_symlink("fifo", d.file("link"));
                return d.file("link");
            },
            {}, {.stop = Stop::LinkToNonRegular, .name = "%d/fifo"}},
        RefusalCase{"symbolic_link_to_a_folder",
            [](const TempDir& d, std::string&) {
                fs::create_directory(d.file("folder"));
                writeFile(d.file("folder/inside"), "keep");
                fs::create_directory_symlink("folder", d.file("link"));
                return d.file("link");
            },
            {}, {.stop = Stop::LinkToFolder, .name = "%d/folder"}},
        RefusalCase{"link_of_another_user_in_a_shared_folder_is_not_followed",
            [](const TempDir& d, std::string& skip) {
                // A secret only root may read, and a link to it that another user left in a shared folder.
                fs::create_directory(d.file("private"));
                writeFile(d.file("private/secret"), "root's secret");
                fs::create_directory(d.file("shared"));
                fs::permissions(d.file("shared"), static_cast<fs::perms>(01777));
                fs::create_symlink(d.file("private/secret"), d.file("shared/link"));
                if (::geteuid() != 0 || ::lchown(d.file("shared/link").c_str(), 4242, 4242) != 0)
                    skip = "needs root, to give the link to another user";
                else if (readFile("/proc/sys/fs/protected_symlinks") != "1\n")
                    skip = "fs.protected_symlinks is off on this machine";
                return d.file("shared/link");
            },
            {}, {.stop = Stop::LinkNotFollowed}},
        RefusalCase{"a_folder",
            [](const TempDir& d, std::string&) {
                fs::create_directory(d.file("folder"));
                writeFile(d.file("folder/inside"), "keep");
                return d.file("folder");
            },
            {}, {.stop = Stop::Folder}},
        RefusalCase{"a_fifo_without_a_reader_does_not_hang",
            [](const TempDir& d, std::string&) {
                (void)::mkfifo(d.file("fifo").c_str(), 0600);
                return d.file("fifo");
            },
            {}, {.stop = Stop::NotRegular}},
        RefusalCase{"a_character_device_is_never_opened",
            [](const TempDir& d, std::string& skip) {
                // A node of the null device, made in our own folder: even a failing test writes nowhere.
                if (::mknod(d.file("null-device").c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0)
                    skip = std::string("mknod is not allowed here (") + std::strerror(errno) + ")";
                return d.file("null-device");
            },
            {}, {.stop = Stop::NotRegular}},
        RefusalCase{"read_only_by_its_mode",
            [](const TempDir& d, std::string& skip) {
                if (::geteuid() == 0)
                    skip = "root may write any file; the fault tests cover a refused open";
                writeFile(d.file("read-only"), "precious");
                fs::permissions(d.file("read-only"), fs::perms::owner_read);
                return d.file("read-only");
            },
            {}, {.stop = Stop::ReadOnly}},
        RefusalCase{"file_not_writable", plainFile, {FsCall::Access, 1, EACCES}, {.stop = Stop::ReadOnly, .found = 1}},
        RefusalCase{"file_that_is_a_mount_point",
            [](const TempDir& d, std::string& skip) {
                // The same bytes in both, so that the folder reads the same with or without the mount.
                writeFile(d.file("mounted"), "precious");
                writeFile(d.file("source"), "precious");
                if (::geteuid() != 0 ||
                    ::mount(d.file("source").c_str(), d.file("mounted").c_str(), nullptr, MS_BIND, nullptr) != 0)
                    skip = "needs root to bind-mount a file";
                return d.file("mounted");
            },
            {}, {.stop = Stop::MountPoint}}),
    RowName<RefusalCase>);

// A file system that cannot rename without replacing: the file is deleted under its own name.
// Where the hidden name cannot be made — a file system that cannot rename without replacing
// (EINVAL), a full folder on a full disk (ENOSPC), a name too long once hidden (ENAMETOOLONG) — the
// file is looked at and deleted where it is.
struct RenameCase {
    const char* name;
    int error;
};

class WithoutAHiddenName : public WipeTest, public ::testing::WithParamInterface<RenameCase> {};

TEST_P(WithoutAHiddenName, TheFileIsDeletedWhereItIs)
{
    const std::string path = dir.file("victim");
    writeFile(path, "old");
    files.failOn({FsCall::Rename, 1, GetParam().error});
    EXPECT_EQ(wipe(path), WipeOutcome::Wiped);
    EXPECT_EQ(stopped, std::nullopt);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

INSTANTIATE_TEST_SUITE_P(RenameAnswers, WithoutAHiddenName,
    ::testing::Values(RenameCase{"rename_that_never_replaces_is_not_offered", EINVAL},
        RenameCase{"no_space_for_another_name", ENOSPC}, RenameCase{"hidden_name_too_long", ENAMETOOLONG}),
    RowName<RenameCase>);

// What a pass covers, and what it needs of the disk: the file system's own block (statfs), not the
// preferred I/O size, which may be megabytes; on a full disk, a file without holes still fits in
// its own blocks and an empty file, which holds no data, is wiped without a write.
struct SpaceCase {
    const char* name;
    std::size_t size;
    long blockSize;           // the file system's block size as statfs answers it
    bool fullDisk;            // no block free
    std::uint64_t passCovers; // bytes the first pass leaves in the file
};

class PassSpace : public WipeTest, public ::testing::WithParamInterface<SpaceCase> {};

TEST_P(PassSpace, CoversTheBlocksAndNeedsNoMore)
{
    const SpaceCase& c = GetParam();
    const std::string path = dir.file("victim");
    writeFile(path, std::string(c.size, 'o'));
    files.alterStatFs = [&](struct statfs& st) {
        st.f_bsize = c.blockSize;
        if (c.fullDisk)
            st.f_bavail = st.f_bfree = 0;
    };
    std::uint64_t afterPass1 = 0;
    files.beforeClose = [&](int fd) {
        struct stat st {};
        if (afterPass1 == 0 && ::fstat(fd, &st) == 0)
            afterPass1 = static_cast<std::uint64_t>(st.st_size) + 1;
    };
    EXPECT_EQ(wipe(path), WipeOutcome::Wiped);
    EXPECT_EQ(stopped, std::nullopt);
    EXPECT_EQ(afterPass1, c.passCovers + 1);
    EXPECT_EQ(files.count(FsCall::Write) == 0, c.passCovers == 0);
    EXPECT_FALSE(fs::exists(path));
}

INSTANTIATE_TEST_SUITE_P(Blocks, PassSpace,
    ::testing::Values(SpaceCase{"rounded_to_the_file_systems_block", 6000, 1024, false, 6144},
        SpaceCase{"a_file_without_holes_on_a_full_disk", 6000, 4096, true, 8192},
        SpaceCase{"an_empty_file_on_a_full_disk_needs_no_write", 0, 4096, true, 0},
        SpaceCase{"an_empty_file_gets_one_block_of_pattern", 0, 4096, false, 4096}),
    RowName<SpaceCase>);

// A wipe killed between the hidden rename and the unlink (SIGKILL, a power cut) leaves a 2-byte file
// under a hidden name; the next wipe in that folder deletes it. What is not plainly such a leftover
// stays: other bytes, another name for it, something that only looks like a hidden name.
TEST_F(Wipe, LeftoversOfAnEarlierWipeInTheFolderAreDeleted)
{
    const std::map<std::string, std::string> kept = {{".quellon-00000000000000ff", "someone's\n"},
        {".quellon-0123", "\r\n"}, {".quellon-000000000000000g", "\r\n"}, {".quellon-linked000000000", "\r\n"}};
    for (const auto& [name, content] : kept)
        writeFile(dir.file(name), content);
    writeFile(dir.file(".quellon-00000000000000aa"), "\r\n");
    writeFile(dir.file(".quellon-00000000000000bb"), "\r\n");
    ASSERT_EQ(::link(dir.file(".quellon-00000000000000bb").c_str(), dir.file("other-name").c_str()), 0);
    writeFile(dir.file("victim"), "old");

    EXPECT_EQ(wipe(dir.file("victim")), WipeOutcome::Wiped);
    EXPECT_EQ(stopped, std::nullopt);
    EXPECT_FALSE(fs::exists(dir.file(".quellon-00000000000000aa")));
    EXPECT_TRUE(fs::exists(dir.file(".quellon-00000000000000bb"))) << "a file with another name is not a leftover";
    for (const auto& [name, content] : kept)
        EXPECT_EQ(readFile(dir.file(name)), content) << name;
}

// A file that may be written but not read is wiped all the same, without the read-back.
TEST_F(Wipe, UnreadableFileIsWipedWithoutTheReadBack)
{
    std::string unused;
    const std::string path = plainFile(dir, unused);
    files.failOn({FsCall::Access, 2, EACCES});
    EXPECT_EQ(wipe(path), WipeOutcome::Wiped);
    EXPECT_EQ(stopped, std::nullopt);
    EXPECT_EQ(files.count(FsCall::Read), 0);
    EXPECT_FALSE(fs::exists(path));
}

// Someone else's file in a shared folder such as /tmp may be overwritten but not deleted: the
// content goes first, then the failed delete is reported with what is left.
TEST_F(Wipe, FileInAStickyFolderOfSomeoneElseIsOverwrittenThenReported)
{
    const std::string folder = dir.file("shared");
    fs::create_directory(folder);
    const std::string path = folder + "/victim";
    writeFile(path, "someone else's");
    if (::geteuid() == 0 || ::chmod(folder.c_str(), 01777) != 0 ||
        ::chown(path.c_str(), ::geteuid() + 1, static_cast<gid_t>(-1)) != 0)
        GTEST_SKIP() << "needs to give a file away, which only root can, and root may delete anything";
    EXPECT_EQ(wipe(path), WipeOutcome::Failed);
    EXPECT_EQ(stopped,
        (StopReason{.stop = Stop::CallFailed,
            .call = Call::Delete,
            .err = EPERM,
            .when = When::after(),
            .left = Left::InPlace}));
    EXPECT_EQ(readFile(path), "\r\n");
}

TEST_F(Wipe, FifoWithReaderIsRefusedAsNotARegularFile)
{
    const std::string path = dir.file("fifo");
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    const int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(wipe(path), WipeOutcome::Failed);
    char byte;
    EXPECT_EQ(::read(reader, &byte, 1), 0) << "nothing may be written into the FIFO";
    ::close(reader);
    expectStop(Stop::NotRegular);
    EXPECT_TRUE(fs::is_fifo(path));
}

TEST_F(Wipe, FileReplacedBetweenPassesIsNotTouched)
{
    const std::string path = dir.file("victim");
    const std::string other = dir.file("other");
    writeFile(path, "old");
    writeFile(other, "someone else's");
    int closes = 0;
    files.beforeClose = [&](int) {
        if (++closes == 3)
            fs::rename(other, path);
    };
    EXPECT_EQ(wipe(path), WipeOutcome::Failed);
    EXPECT_EQ(
        stopped, (StopReason{.stop = Stop::ReplacedBeforeDelete, .when = When::after(), .left = Left::NotUnderName}));
    EXPECT_EQ(readFile(path), "someone else's");
}

class RecordingObserver final : public WipeObserver {
public:
    void Progress(const WipeProgress& p) override { seen.push_back(p); }
    bool CancelRequested() override { return ++asked == cancelAfter; }
    std::vector<WipeProgress> seen;
    int asked = 0;
    int cancelAfter = 0; // 0: never
};

TEST_F(Wipe, ProgressReportsEveryPassInOrder)
{
    const std::string path = dir.file("small");
    writeFile(path, "x");
    RecordingObserver observer;
    EXPECT_EQ(wipe(path, &observer), WipeOutcome::Wiped);

    int lastPass = 0;
    std::uint64_t lastDone = 0;
    std::vector<int> passesEnded;
    for (const WipeProgress& p : observer.seen) {
        EXPECT_EQ(p.path, path);
        EXPECT_GE(p.pass, lastPass);
        if (p.pass == lastPass) {
            EXPECT_GE(p.bytesDone, lastDone);
        }
        EXPECT_LE(p.bytesDone, p.bytesTotal);
        if (p.bytesDone == p.bytesTotal)
            passesEnded.push_back(p.pass);
        lastPass = p.pass;
        lastDone = p.bytesDone;
    }
    std::vector<int> all(44);
    std::iota(all.begin(), all.end(), 1);
    passesEnded.erase(std::unique(passesEnded.begin(), passesEnded.end()), passesEnded.end());
    EXPECT_EQ(passesEnded, all);
}

TEST_F(Wipe, CancelStopsAfterTheFlushedPassAndKeepsTheFile)
{
    const std::string path = dir.file("cancelled");
    writeFile(path, std::string(3000, 'p'));
    RecordingObserver observer;
    observer.cancelAfter = 13; // after pass 13: phase 2 has begun
    EXPECT_EQ(wipe(path, &observer), WipeOutcome::Cancelled);
    EXPECT_EQ(stopped, std::nullopt);
    EXPECT_EQ(files.count(FsCall::Close), 13);
    EXPECT_EQ(files.count(FsCall::Sync), 13);
    EXPECT_EQ(files.count(FsCall::Unlink), 0);
    const std::string left = readFile(path);
    EXPECT_EQ(left.size() % 4096, 0u);
    EXPECT_EQ(left, repeated("0101010101\r\n", left.size()));
}

} // namespace
} // namespace quellon::testing
