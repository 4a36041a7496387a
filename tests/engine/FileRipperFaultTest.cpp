// SPDX-License-Identifier: GPL-3.0-or-later

// Every kind of step failing once: exactly one report carrying the injected errno, nothing after
// the failing step but releasing the descriptor, no delete, and the call returns.
#include "Defragmenter.h"
#include "WipeTestSupport.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace quellon::testing {
namespace {

namespace fs = std::filesystem;
using quellon::testing::PrintTo;

// What the file holds after the failure.
enum class Holds { Unchanged, Overwritten, PartlyOverwritten, CrLf, Deleted };

struct FaultCase {
    const char* name;
    FaultyFileSystem::Fault fault;
    Call call; // the call reported as failed, with the fault's errno
    When when; // when it failed
    Holds holds;
    Left left = Left::Unsaid; // what the report says is left of the file
};

class WipeFault : public WipeTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(WipeFault, ReportsOnceAndStops)
{
    const FaultCase& c = GetParam();
    const std::string path = dir.file("victim");
    const std::string original(6000, 'o');
    writeFile(path, original);
    files.failOn(c.fault);

    EXPECT_EQ(wipe(path), WipeOutcome::Failed);

    StopReason expected = Failed(c.call, c.fault.error, c.when);
    expected.left = c.left;
    EXPECT_EQ(stopped, expected);

    // After the failing call, nothing but the release of an open descriptor, and at the delete the
    // file's name given back.
    const auto failed = std::find(files.log.rbegin(), files.log.rend(), c.fault.call);
    ASSERT_NE(failed, files.log.rend());
    for (auto it = files.log.rbegin(); it != failed; ++it)
        EXPECT_TRUE(*it == FsCall::Close || *it == FsCall::Look || *it == FsCall::Rename)
            << "a step ran after the failure";
    const bool deleteRan = c.fault.call == FsCall::Unlink || c.holds == Holds::Deleted;
    EXPECT_EQ(files.count(FsCall::Unlink), deleteRan ? 1 : 0);

    if (c.holds == Holds::Deleted) {
        EXPECT_FALSE(fs::exists(path));
        return;
    }
    ASSERT_TRUE(fs::exists(path));
    const std::string left = readFile(path);
    switch (c.holds) {
    case Holds::Unchanged: EXPECT_EQ(left, original); break;
    case Holds::Overwritten: EXPECT_EQ(left.find('o'), std::string::npos); break;
    case Holds::PartlyOverwritten: EXPECT_NE(left, original); break;
    case Holds::CrLf: EXPECT_EQ(left, "\r\n"); break;
    case Holds::Deleted: break;
    }
}

const When kBefore{};
const When kAfter = When::after();

INSTANTIATE_TEST_SUITE_P(Steps, WipeFault,
    ::testing::Values(
        FaultCase{"first_open_refused", {FsCall::Open, 1, EACCES}, Call::OpenForWriting, kBefore, Holds::Unchanged},
        FaultCase{"attributes_unreadable", {FsCall::Stat, 1, EIO}, Call::ReadAttributes, kBefore, Holds::Unchanged},
        FaultCase{"attributes_unreadable_once_opened", {FsCall::Stat, 2, EIO}, Call::ReadAttributes, kBefore,
            Holds::Unchanged},
        FaultCase{"folder_attributes_unreadable", {FsCall::StatAt, 3, EIO}, Call::ReadFolderAttributes, kBefore,
            Holds::Unchanged},
        FaultCase{"reopen_for_pass_5_fails", {FsCall::Open, 5, EMFILE}, Call::OpenForWriting, When::inPass(5),
            Holds::Overwritten},
        FaultCase{"identity_check_of_pass_5_fails", {FsCall::Stat, 6, EIO}, Call::ReadAttributes, When::inPass(5),
            Holds::Overwritten},
        FaultCase{
            "write_of_pass_17_fails", {FsCall::Write, 17, EIO}, Call::Write, When::inPass(17), Holds::Overwritten},
        FaultCase{"short_write_then_disk_full", {FsCall::Write, 1, ENOSPC, true}, Call::Write, When::inPass(1),
            Holds::PartlyOverwritten},
        FaultCase{"flush_of_pass_30_fails", {FsCall::Sync, 30, EIO}, Call::Flush, When::inPass(30), Holds::Overwritten},
        FaultCase{"flush_after_the_cut_fails", {FsCall::Sync, kPasses + 1, EIO}, Call::Flush, kAfter, Holds::CrLf,
            Left::CutNotOnDisk},
        FaultCase{"truncate_fails", {FsCall::Truncate, 1, EPERM}, Call::Truncate, kAfter, Holds::Overwritten,
            Left::FullLength},
        FaultCase{
            "close_of_pass_12_fails", {FsCall::Close, 12, EIO}, Call::Close, When::inPass(12), Holds::Overwritten},
        FaultCase{"delete_fails", {FsCall::Unlink, 1, EACCES}, Call::Delete, kAfter, Holds::CrLf, Left::InPlace},
        // A folder the user may not delete from: the content is overwritten all the same.
        FaultCase{"delete_refused_by_the_folder", {FsCall::Rename, 1, EACCES}, Call::Delete, kAfter, Holds::CrLf,
            Left::InPlace},
        FaultCase{"file_system_unreadable", {FsCall::StatFs, 1, EIO}, Call::ReadFileSystem, kBefore, Holds::Unchanged},
        // Both small files fail: on ext4 its own list is read first, and the table only without it.
        FaultCase{"mount_table_unreadable", {FsCall::ReadFile, 1, EACCES, false, 2}, Call::ReadMountOptions, kBefore,
            Holds::Unchanged},
        FaultCase{"attribute_flags_unreadable", {FsCall::Attributes, 1, EIO}, Call::ReadAttributeFlags, kBefore,
            Holds::Unchanged},
        FaultCase{"block_map_unreadable", {FsCall::Extents, 1, EIO}, Call::ReadBlockMap, kBefore, Holds::Unchanged},
        // The map once the lease is taken, and after the first pass.
        FaultCase{"block_map_unreadable_after_the_lease", {FsCall::Extents, 2, EIO}, Call::ReadBlockMap, kBefore,
            Holds::Unchanged},
        FaultCase{"block_map_unreadable_after_pass_1", {FsCall::Extents, 3, EIO}, Call::ReadBlockMap, When::inPass(1),
            Holds::Overwritten},
        // The read lease that asks whether a writer has the file open is given back at once.
        FaultCase{"read_lease_cannot_be_given_back", {FsCall::ReadLease, 2, EIO}, Call::CheckInUse, kBefore,
            Holds::Unchanged},
        FaultCase{"descriptor_of_the_first_look_cannot_be_closed", {FsCall::Look, 3, EIO}, Call::Close, kBefore,
            Holds::Unchanged},
        // The first look at the blocks opens the file for reading (after the open naming it).
        FaultCase{"file_cannot_be_opened_to_look_at_its_blocks", {FsCall::Look, 2, EMFILE}, Call::Open, kBefore,
            Holds::Unchanged},
        FaultCase{"lease_check_fails", {FsCall::Lease, 1, ENOLCK}, Call::CheckInUse, kBefore, Holds::Unchanged},
        FaultCase{"lease_of_the_last_pass_cannot_be_taken", {FsCall::Lease, 2, ENOMEM}, Call::CheckInUse,
            When::inPass(44), Holds::Overwritten},
        FaultCase{"read_back_cannot_bypass_the_cache", {FsCall::SetFlags, 1, EBADF}, Call::ReadBack, kAfter,
            Holds::Overwritten, Left::FullLengthNotReadBack},
        FaultCase{"read_back_cannot_give_the_descriptor_its_flags_back", {FsCall::SetFlags, 2, EBADF}, Call::ReadBack,
            kAfter, Holds::Overwritten, Left::FullLengthNotReadBack},
        FaultCase{"read_back_fails", {FsCall::Read, 1, EIO}, Call::ReadBack, kAfter, Holds::Overwritten,
            Left::FullLengthNotReadBack},
        FaultCase{"folder_flush_after_the_delete_fails", {FsCall::SyncFolder, 1, EIO}, Call::FlushFolder, kAfter,
            Holds::Deleted},
        FaultCase{
            "path_cannot_be_looked_at", {FsCall::StatAt, 1, EIO}, Call::ReadAttributes, kBefore, Holds::Unchanged},
        FaultCase{
            "folder_cannot_be_opened", {FsCall::OpenFolder, 1, EMFILE}, Call::OpenFolder, kBefore, Holds::Unchanged},
        FaultCase{"mount_check_fails", {FsCall::MountRoot, 1, EIO}, Call::ReadAttributes, kBefore, Holds::Unchanged},
        FaultCase{"lease_state_unreadable_before_the_cut", {FsCall::GetLease, 3, EIO}, Call::CheckInUse,
            When::inPass(44), Holds::Overwritten},
        FaultCase{"name_cannot_be_looked_at_before_the_delete", {FsCall::StatAt, 4, EIO}, Call::ReadAttributes, kAfter,
            Holds::CrLf, Left::InPlace}),
    RowName<FaultCase>);

class WipeDiskWait : public WipeTest {};

// Waiting for the disk consumes a write error, so the flush at the end of the pass would not see it:
// the wait's own failure must be the one reported.
TEST_F(WipeDiskWait, FailedWaitForTheDiskIsReportedNotLost)
{
    const std::string path = dir.file("large");
    writeFile(path, std::string(std::size_t{48} << 20, 'L'));
    files.failOn({FsCall::AwaitWriteback, 1, EIO});
    EXPECT_EQ(wipe(path), WipeOutcome::Failed);
    EXPECT_EQ(stopped, Failed(Call::Flush, EIO, When::inPass(1)));
    EXPECT_EQ(files.count(FsCall::Sync), 0);
    EXPECT_EQ(files.count(FsCall::Unlink), 0);
}

// ---- Another program changing the file or its folder during the wipe ----

struct RaceCase {
    const char* name;
    std::size_t size; // of the file wiped, a/victim in the test's folder
    // Sets the hooks that play the other program.
    std::function<void(FaultyFileSystem& files, const TempDir& dir, const std::string& path)> arm;
    std::optional<StopReason> stopped; // nothing: a true success; else why the wipe stopped, the file not deleted
    // Checks after the wipe (may be empty).
    std::function<void(FaultyFileSystem& files, const TempDir& dir, const std::string& path)> verify = {};
    // What the wipe is given instead of the file's path ("/proc/self/fd/HELD": the descriptor heldOpen).
    const char* given = nullptr;
};

// A descriptor that another program (played by this one) keeps open on the file.
int heldOpen = -1;

class WipeRace : public WipeTest, public ::testing::WithParamInterface<RaceCase> {};

TEST_P(WipeRace, EndsInTrueSuccessOrOneReportWithTheFileKept)
{
    const RaceCase& c = GetParam();
    fs::create_directory(dir.path() / "a");
    const std::string path = dir.file("a/victim");
    writeFile(path, std::string(c.size, 'o'));
    c.arm(files, dir, path);
    if (IsSkipped())
        return;

    const std::string given = c.given == nullptr ? path : "/proc/self/fd/" + std::to_string(heldOpen);
    const WipeOutcome outcome = wipe(given);
    if (c.given != nullptr)
        ::close(std::exchange(heldOpen, -1));
    files.beforeClose = nullptr;
    files.beforeUnlink = nullptr;
    files.alterRead = nullptr;
    files.alterLease = nullptr;
    files.beforeCall = nullptr;

    EXPECT_EQ(outcome, c.stopped ? WipeOutcome::Failed : WipeOutcome::Wiped);
    std::optional<StopReason> expected = c.stopped;
    if (expected && expected->name == "TARGET")
        expected->name = fs::canonical(dir.path()).string() + "/a/target";
    EXPECT_EQ(stopped, expected);
    // Only the removal of a link and the flush of the delete come after the file was deleted; those
    // rows check what is left themselves.
    if (c.stopped && c.stopped->stop != Stop::LinkReplaced && c.stopped->call != Call::FlushFolder) {
        EXPECT_EQ(files.count(FsCall::Unlink), 0) << "nothing may be deleted";
    }
    if (c.verify)
        c.verify(files, dir, path);
}

// Runs `action` once, just before the engine closes pass `pass` (whose lease is given back by then).
std::function<void(FaultyFileSystem&, const TempDir&, const std::string&)> atCloseOfPass(
    int pass, const std::function<void(const TempDir&, const std::string&)>& action)
{
    return [pass, action](FaultyFileSystem& files, const TempDir& dir, const std::string& path) {
        auto closes = std::make_shared<int>(0);
        files.beforeClose = [=, &dir](int) {
            if (++*closes == pass)
                action(dir, path);
        };
    };
}

// Runs `action` once, after the last pass has been read back; leases are made unavailable so that
// the action can open the file, as it could for another user's file.
std::function<void(FaultyFileSystem&, const TempDir&, const std::string&)> afterReadBack(
    const std::function<void(const std::string&)>& action)
{
    return [action](FaultyFileSystem& files, const TempDir&, const std::string& path) {
        files.failOn({FsCall::Lease, 1, EACCES});
        auto done = std::make_shared<bool>(false);
        files.alterRead = [=](char*, ssize_t&, off_t) {
            if (!std::exchange(*done, true))
                action(path);
        };
    };
}

// Runs `action` once, just before the engine's `nth` call of kind `call`; leases are made
// unavailable, as for another user's file, so that only the size and the block map can tell.
std::function<void(FaultyFileSystem&, const TempDir&, const std::string&)> withoutLeaseBefore(
    FsCall call, int nth, const std::function<void(const std::string&)>& action)
{
    return [call, nth, action](FaultyFileSystem& files, const TempDir&, const std::string& path) {
        files.failOn({FsCall::Lease, 1, EACCES});
        auto seen = std::make_shared<int>(0);
        files.beforeCall = [=](FsCall now, int) {
            if (now == call && ++*seen == nth)
                action(path);
        };
    };
}

void punchHole(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, 1 << 20), 0);
    ::close(fd);
}

// The state of the lease, as the kernel would answer it while another program waits for it.
std::function<void(FaultyFileSystem&, const TempDir&, const std::string&)> leaseBrokenTo(int type, int nth)
{
    return [type, nth](FaultyFileSystem& files, const TempDir&, const std::string&) {
        files.alterLease = [type, nth](int& answer, int n) {
            if (n == nth)
                answer = type;
        };
    };
}

// Another open of the file while the lease is held, for real: it does not wait (O_NONBLOCK) but
// the kernel starts breaking the lease, which the wipe sees at its next look within the pass.
std::function<void(FaultyFileSystem&, const TempDir&, const std::string&)> openedDuringAPass(int flags)
{
    return [flags](FaultyFileSystem& files, const TempDir&, const std::string& path) {
        auto done = std::make_shared<bool>(false);
        files.alterLease = [=](int&, int) {
            if (std::exchange(*done, true))
                return;
            const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC);
            EXPECT_EQ(fd, -1) << "the lease should make the open wait";
            if (fd >= 0)
                ::close(fd);
        };
    };
}

void append(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
}

void cut(const std::string& path, off_t length)
{
    ASSERT_EQ(::truncate(path.c_str(), length), 0);
}

// The file is still there, overwritten, and holds what the other program added.
void keptWithAppended(FaultyFileSystem&, const TempDir&, const std::string& path)
{
    const std::string left = readFile(path);
    EXPECT_EQ(left.find('o'), std::string::npos);
    EXPECT_NE(left.find("APPENDED"), std::string::npos);
}

void keptOverwritten(FaultyFileSystem&, const TempDir&, const std::string& path)
{
    ASSERT_TRUE(fs::exists(path));
    EXPECT_EQ(readFile(path).find('o'), std::string::npos);
}

constexpr std::size_t kSmallForRefusal = 6000; // the size of every race row's file that is refused

// Moves the file's blocks as e4defrag does (its size and change time stay as they were).
void defragment(const std::string& path)
{
    EXPECT_EQ(moveBlocksAsADefragmenterDoes(path), "");
}

// Arms `arm` where the test folder's file system lets a file's blocks be moved; skips visibly elsewhere.
std::function<void(FaultyFileSystem&, const TempDir&, const std::string&)> whereBlocksMove(
    const std::function<void(FaultyFileSystem&, const TempDir&, const std::string&)>& arm)
{
    return [arm](FaultyFileSystem& files, const TempDir& dir, const std::string& path) {
        const std::string probe = dir.file("probe");
        writeFile(probe, std::string(kSmallForRefusal, 'p'));
        const std::string trouble = moveBlocksAsADefragmenterDoes(probe);
        fs::remove(probe);
        if (!trouble.empty())
            GTEST_SKIP() << "the test folder's file system does not move blocks for us: " << trouble;
        arm(files, dir, path);
    };
}

// The file is kept whole, nothing written: what a refusal before the first write leaves.
void keptUnwritten(FaultyFileSystem& files, const TempDir&, const std::string& path)
{
    EXPECT_EQ(readFile(path), std::string(kSmallForRefusal, 'o'));
    EXPECT_EQ(files.count(FsCall::Write), 0);
}

// Runs `action` once, just before the engine's first call of kind `call`.
std::function<void(FaultyFileSystem&, const TempDir&, const std::string&)> beforeTheFirst(
    FsCall call, const std::function<void(const TempDir&, const std::string&)>& action)
{
    return [call, action](FaultyFileSystem& files, const TempDir& dir, const std::string& path) {
        auto done = std::make_shared<bool>(false);
        files.beforeCall = [=, &dir](FsCall now, int) {
            if (now == call && !std::exchange(*done, true))
                action(dir, path);
        };
    };
}

// The path is made a link to a/target, the file, and `arm` sets the faults.
std::function<void(FaultyFileSystem&, const TempDir&, const std::string&)> asALink(
    const std::function<void(FaultyFileSystem&)>& arm)
{
    return [arm](FaultyFileSystem& files, const TempDir& dir, const std::string& path) {
        fs::rename(path, dir.file("a/target"));
        fs::create_symlink("target", path);
        arm(files);
    };
}

// The path is made a link to a/target, the file; `action` runs just before the link's own delete.
std::function<void(FaultyFileSystem&, const TempDir&, const std::string&)> asALinkBeforeItsRemoval(
    const std::function<void(const std::string&)>& action)
{
    return [action](FaultyFileSystem& files, const TempDir& dir, const std::string& path) {
        fs::rename(path, dir.file("a/target"));
        fs::create_symlink("target", path);
        auto deletes = std::make_shared<int>(0);
        files.beforeUnlink = [=](const std::string&) {
            if (++*deletes == 2)
                action(path);
        };
    };
}

// Renamed or replaced during the passes: the file the wipe holds is wiped to the end under the name
// it now has, and only the delete, which finds another file or none under the name, is refused.
const StopReason kReplacedBeforeTheDelete{
    .stop = Stop::ReplacedBeforeDelete, .when = When::after(), .left = Left::NotUnderName};
const StopReason kMovedBeforeTheDelete{
    .stop = Stop::MovedBeforeDelete, .when = When::after(), .left = Left::NotUnderName};

void wipedUnderItsOldName(FaultyFileSystem& files, const TempDir&, const std::string& path)
{
    EXPECT_EQ(readFile(path + ".moved"), "\r\n");
    EXPECT_EQ(files.count(FsCall::Open), 44) << "every pass opens the file it holds, never what took its name";
}

constexpr std::size_t kSmall = 6000; // two blocks: each pass writes 8192 bytes
constexpr std::uint64_t kSmallExtent = 8192;
const When kReadBack{When::Stage::LastPassReadBack};
constexpr std::size_t kLarge = (std::size_t{8} << 20) + std::size_t{4096} * 3; // more than one write buffer

INSTANTIATE_TEST_SUITE_P(
    OtherPrograms, WipeRace,
    ::testing::Values(
        RaceCase{"folder_swapped_for_a_link_just_before_the_delete", kSmall,
                 [](FaultyFileSystem& files, const TempDir& dir, const std::string&) {
                     fs::create_directory(dir.path() / "b");
                     writeFile(dir.file("b/victim"), "someone else's");
                     files.beforeUnlink = [&dir](const std::string&) {
                         fs::rename(dir.path() / "a", dir.path() / "a-moved");
                         fs::create_directory_symlink(dir.path() / "b", dir.path() / "a");
                     };
                 },
                 std::nullopt,
                 [](FaultyFileSystem&, const TempDir& dir, const std::string&) {
                     EXPECT_EQ(readFile(dir.file("b/victim")), "someone else's") << "another file was deleted";
                     EXPECT_FALSE(fs::exists(dir.path() / "a-moved" / "victim")) << "the wiped file is still there";
                 }},
        RaceCase{"link_to_a_device_swapped_in_between_passes", kSmall,
                 atCloseOfPass(3,
                               [](const TempDir&, const std::string& path) {
                                   fs::rename(path, path + ".moved");
                                   fs::create_symlink("/dev/null", path);
                               }),
                 kReplacedBeforeTheDelete, wipedUnderItsOldName},
        RaceCase{"fifo_swapped_in_between_passes", kSmall,
                 atCloseOfPass(3,
                               [](const TempDir&, const std::string& path) {
                                   fs::rename(path, path + ".moved");
                                   ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
                               }),
                 kReplacedBeforeTheDelete,
                 [](FaultyFileSystem& files, const TempDir& dir, const std::string& path) {
                     wipedUnderItsOldName(files, dir, path);
                     EXPECT_TRUE(fs::is_fifo(path));
                 }},
        RaceCase{"renamed_away_between_passes", kSmall,
                 atCloseOfPass(3, [](const TempDir&, const std::string& path) { fs::rename(path, path + ".moved"); }),
                 kMovedBeforeTheDelete, wipedUnderItsOldName},
        RaceCase{"lengthened_between_passes", kSmall,
                 atCloseOfPass(5, [](const TempDir&, const std::string& path) { append(path, "APPENDED"); }),
                 StopReason{.stop = Stop::Resized, .when = When::inPass(6), .expected = kSmallExtent, .found = kSmallExtent + 8},
                 keptWithAppended},
        RaceCase{"shortened_between_passes", kSmall,
                 atCloseOfPass(5, [](const TempDir&, const std::string& path) { cut(path, 100); }),
                 StopReason{.stop = Stop::Resized, .when = When::inPass(6), .expected = kSmallExtent, .found = 100},
                 keptOverwritten},
        RaceCase{"lengthened_between_the_read_back_and_the_cut", kSmall,
                 afterReadBack([](const std::string& path) { append(path, "APPENDED"); }),
                 StopReason{.stop = Stop::Resized, .when = kReadBack, .expected = kSmallExtent, .found = kSmallExtent + 8},
                 keptWithAppended},
        RaceCase{"shortened_between_the_read_back_and_the_cut", kSmall,
                 afterReadBack([](const std::string& path) { cut(path, 10); }),
                 StopReason{.stop = Stop::Resized, .when = kReadBack, .expected = kSmallExtent, .found = 10},
                 keptOverwritten},
        // Without a lease, the blocks tell: a file cut and grown back to its size as pass 1 starts,
        // or with a hole punched in it before the last look at its blocks, had blocks freed.
        RaceCase{"cut_and_grown_back_without_a_lease_as_pass_1_starts", kSmall,
                 withoutLeaseBefore(FsCall::Write, 1,
                                    [](const std::string& path) {
                                        cut(path, 0);
                                        cut(path, kSmall);
                                    }),
                 StopReason{.stop = Stop::BlocksMoved, .when = When::inPass(1)},
                 keptOverwritten},
        RaceCase{"hole_punched_without_a_lease_before_the_cut", kSmall,
                 withoutLeaseBefore(FsCall::Extents, 4, punchHole), StopReason{.stop = Stop::BlocksMoved, .when = kReadBack}},
        RaceCase{"written_to_without_a_lease_before_the_first_write", kSmall,
                 withoutLeaseBefore(FsCall::Extents, 1, [](const std::string& path) { append(path, "APPENDED"); }),
                 StopReason{.stop = Stop::ChangedAtStart},
                 [](FaultyFileSystem& files, const TempDir&, const std::string& path) {
                     EXPECT_EQ(readFile(path), std::string(kSmall, 'o') + "APPENDED");
                     EXPECT_EQ(files.count(FsCall::Write), 0);
                 }},
        RaceCase{"opened_for_writing_or_truncated_during_pass_1", kSmall, leaseBrokenTo(F_UNLCK, 1),
                 StopReason{.stop = Stop::OpenedForWriting, .when = When::inPass(1)},
                 keptOverwritten},
        // A file of several write buffers: the lease is looked at after each buffer, so the pass stops
        // there, before its remaining writes and its flush.
        RaceCase{"opened_for_writing_after_the_first_buffer_of_a_pass", kLarge, leaseBrokenTo(F_UNLCK, 1),
                 StopReason{.stop = Stop::OpenedForWriting, .when = When::inPass(1)},
                 [](FaultyFileSystem& files, const TempDir&, const std::string&) {
                     EXPECT_EQ(files.count(FsCall::Write), 1);
                     EXPECT_EQ(files.count(FsCall::Sync), 0);
                 }},
        RaceCase{"opened_for_writing_or_truncated_during_the_last_pass", kSmall, leaseBrokenTo(F_UNLCK, 2),
                 StopReason{.stop = Stop::OpenedForWriting, .when = When::inPass(44)}, keptOverwritten},
        RaceCase{"opened_for_reading_during_a_pass_an_indexer_say", kSmall, leaseBrokenTo(F_RDLCK, 1), std::nullopt},
        RaceCase{"really_opened_for_writing_during_a_pass", kLarge, openedDuringAPass(O_WRONLY),
                 StopReason{.stop = Stop::OpenedForWriting, .when = When::inPass(1)}},
        RaceCase{"really_opened_for_reading_during_a_pass", kLarge, openedDuringAPass(O_RDONLY), std::nullopt},
        // An indexer or a virus scanner that keeps the file open from pass 2 to the delete.
        RaceCase{"held_open_for_reading_from_pass_2_to_the_delete", kSmall,
                 atCloseOfPass(1,
                               [](const TempDir&, const std::string& path) {
                                   heldOpen = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
                               }),
                 std::nullopt,
                 [](FaultyFileSystem&, const TempDir&, const std::string& path) {
                     EXPECT_GE(::close(std::exchange(heldOpen, -1)), 0);
                     EXPECT_FALSE(fs::exists(path));
                 }},
        // A defragmenter moving the file's data to other blocks leaves size and change time alone:
        // only the block map, first read before anything waits, shows it.
        RaceCase{"moved_by_a_defragmenter_while_the_lease_is_waited_for", kSmall,
                 whereBlocksMove([](FaultyFileSystem& files, const TempDir&, const std::string& path) {
                     auto done = std::make_shared<bool>(false);
                     files.beforeCall = [=](FsCall now, int) {
                         if (now == FsCall::Lease && !std::exchange(*done, true))
                             defragment(path);
                     };
                 }),
                 StopReason{.stop = Stop::ChangedAtStart}, keptUnwritten},
        RaceCase{"moved_by_a_defragmenter_before_the_first_open_for_writing", kSmall,
                 whereBlocksMove(withoutLeaseBefore(FsCall::Open, 1, defragment)),
                 StopReason{.stop = Stop::ChangedAtStart}, keptUnwritten},
        RaceCase{"moved_by_a_defragmenter_before_the_first_write", kSmall,
                 whereBlocksMove(withoutLeaseBefore(FsCall::Write, 1, defragment)),
                 StopReason{.stop = Stop::BlocksMoved, .when = When::inPass(1)}, keptOverwritten},
        RaceCase{"moved_by_a_defragmenter_before_the_cut", kSmall,
                 whereBlocksMove(withoutLeaseBefore(FsCall::Extents, 4, defragment)),
                 StopReason{.stop = Stop::BlocksMoved, .when = kReadBack}},
        // The link goes as the file did: only while its name still names that very link.
        RaceCase{"link_replaced_by_a_file_before_its_removal", kSmall,
                 asALinkBeforeItsRemoval([](const std::string& path) {
                     fs::remove(path);
                     writeFile(path, "someone else's");
                 }),
                 StopReason{.stop = Stop::LinkReplaced, .when = kAfter, .name = "TARGET"},
                 [](FaultyFileSystem&, const TempDir& dir, const std::string& path) {
                     EXPECT_EQ(readFile(path), "someone else's") << "another file was deleted";
                     EXPECT_FALSE(fs::exists(dir.file("a/target")));
                 }},
        RaceCase{"link_removed_by_another_program_first", kSmall,
                 asALinkBeforeItsRemoval([](const std::string& path) { fs::remove(path); }), std::nullopt,
                 [](FaultyFileSystem&, const TempDir& dir, const std::string&) {
                     EXPECT_FALSE(fs::exists(dir.file("a/target")));
                 }},
        // Between the look at the path and its open: the file opened is not the file first seen.
        RaceCase{"replaced_between_the_first_look_and_the_open", kSmall,
                 [](FaultyFileSystem& files, const TempDir& dir, const std::string& path) {
                     auto done = std::make_shared<bool>(false);
                     files.beforeCall = [=, &dir](FsCall now, int) {
                         if (now != FsCall::Look || std::exchange(*done, true))
                             return;
                         writeFile(dir.file("a/other"), "someone else's");
                         fs::rename(dir.file("a/other"), path);
                     };
                 },
                 StopReason{.stop = Stop::Replaced},
                 [](FaultyFileSystem& files, const TempDir&, const std::string& path) {
                     EXPECT_EQ(readFile(path), "someone else's");
                     EXPECT_EQ(files.count(FsCall::Open), 0);
                 }},
        RaceCase{"gone_between_the_first_look_and_the_open", kSmall,
                 beforeTheFirst(FsCall::Look, [](const TempDir&, const std::string& path) { fs::remove(path); }),
                 StopReason{.stop = Stop::Moved}},
        RaceCase{"replaced_before_its_folder_is_held", kSmall,
                 beforeTheFirst(FsCall::OpenFolder,
                                [](const TempDir& dir, const std::string& path) {
                                    writeFile(dir.file("a/other"), "someone else's");
                                    fs::rename(dir.file("a/other"), path);
                                }),
                 StopReason{.stop = Stop::Replaced},
                 [](FaultyFileSystem&, const TempDir&, const std::string& path) {
                     EXPECT_EQ(readFile(path), "someone else's");
                 }},
        // A file deleted while another program keeps it open, wiped through that program's
        // descriptor: it has no name to be held by.
        RaceCase{"deleted_but_open_reached_through_proc", kSmall,
                 [](FaultyFileSystem&, const TempDir&, const std::string& path) {
                     heldOpen = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
                     ASSERT_GE(heldOpen, 0);
                     fs::remove(path);
                 },
                 StopReason{.stop = Stop::Moved}, {}, "/proc/self/fd/HELD"},
        RaceCase{"open_for_writing_refused_under_another_programs_lease", kSmall,
                 [](FaultyFileSystem& files, const TempDir&, const std::string&) {
                     files.failOn({FsCall::Open, 1, EWOULDBLOCK});
                 },
                 StopReason{.stop = Stop::InUse}},
        RaceCase{"open_for_pass_5_refused_under_another_programs_lease", kSmall,
                 [](FaultyFileSystem& files, const TempDir&, const std::string&) {
                     files.failOn({FsCall::Open, 5, EWOULDBLOCK});
                 },
                 StopReason{.stop = Stop::InUse, .when = When::inPass(5)}, keptOverwritten},
        // Another program's lease keeps even a reader out: open in another program.
        RaceCase{"looking_at_its_blocks_refused_under_another_programs_lease", kSmall,
                 [](FaultyFileSystem& files, const TempDir&, const std::string&) {
                     files.failOn({FsCall::Look, 2, EWOULDBLOCK});
                 },
                 StopReason{.stop = Stop::InUse}, keptUnwritten},
        // A file this user may write but not read: its blocks are first looked at on the first open
        // for writing, and it is wiped without the read-back.
        RaceCase{"not_readable_by_this_user", kSmall,
                 [](FaultyFileSystem& files, const TempDir&, const std::string&) {
                     files.failOn({FsCall::Look, 2, EACCES});
                     files.failOn({FsCall::Access, 2, EACCES});
                 },
                 std::nullopt,
                 [](FaultyFileSystem& files, const TempDir&, const std::string& path) {
                     EXPECT_FALSE(fs::exists(path));
                     EXPECT_EQ(files.count(FsCall::Read), 0);
                     EXPECT_EQ(files.count(FsCall::ReadLease), 0);
                 }},
        RaceCase{"not_readable_and_its_map_unreadable_at_the_first_open", kSmall,
                 [](FaultyFileSystem& files, const TempDir&, const std::string&) {
                     files.failOn({FsCall::Look, 2, EACCES});
                     files.failOn({FsCall::Access, 2, EACCES});
                     files.failOn({FsCall::Extents, 1, EIO});
                 },
                 Failed(Call::ReadBlockMap, EIO), keptUnwritten},
        // A file system that gives no block map at all (tmpfs and the like): only the size and the
        // lease judge.
        RaceCase{"on_a_file_system_without_block_maps", kSmall,
                 [](FaultyFileSystem& files, const TempDir&, const std::string&) {
                     files.failOn({FsCall::Extents, 1, EOPNOTSUPP, false, 1 << 20});
                 },
                 std::nullopt,
                 [](FaultyFileSystem&, const TempDir&, const std::string& path) { EXPECT_FALSE(fs::exists(path)); }},
        // Where the file system cannot give it a hidden name, the name is looked at where it is.
        RaceCase{"renamed_away_at_the_delete_without_a_hidden_name", kSmall,
                 [](FaultyFileSystem& files, const TempDir&, const std::string& path) {
                     files.failOn({FsCall::Rename, 1, EINVAL});
                     files.beforeUnlink = [=](const std::string&) { fs::rename(path, path + ".moved"); };
                 },
                 kMovedBeforeTheDelete,
                 [](FaultyFileSystem&, const TempDir&, const std::string& path) {
                     EXPECT_EQ(readFile(path + ".moved"), "\r\n");
                 }},
        // Direct reads refused half-way, and the cache cannot then be dropped: not read back.
        RaceCase{"read_back_falls_back_to_the_cache_and_cannot_drop_it", kSmall,
                 [](FaultyFileSystem& files, const TempDir&, const std::string&) {
                     files.failOn({FsCall::Read, 1, EINVAL});
                     files.failOn({FsCall::DropCache, 1, EIO});
                 },
                 StopReason{.stop = Stop::CallFailed,
                     .call = Call::ReadBack,
                     .err = EIO,
                     .when = kAfter,
                     .left = Left::FullLengthNotReadBack},
                 keptOverwritten},
        RaceCase{"read_back_falls_back_to_the_cache_and_cannot_leave_direct_io", kSmall,
                 [](FaultyFileSystem& files, const TempDir&, const std::string&) {
                     files.failOn({FsCall::Read, 1, EINVAL});
                     files.failOn({FsCall::SetFlags, 2, EBADF});
                 },
                 StopReason{.stop = Stop::CallFailed,
                     .call = Call::ReadBack,
                     .err = EBADF,
                     .when = kAfter,
                     .left = Left::FullLengthNotReadBack},
                 keptOverwritten},
        // A folder that may be searched but not read cannot be opened to be flushed: the file's own
        // inode is flushed after the delete instead, through a descriptor of its own.
        RaceCase{"in_a_folder_that_may_be_searched_but_not_read", kSmall,
                 [](FaultyFileSystem& files, const TempDir&, const std::string&) {
                     files.failOn({FsCall::OpenFolder, 1, EACCES});
                 },
                 std::nullopt,
                 [](FaultyFileSystem& files, const TempDir&, const std::string& path) {
                     EXPECT_FALSE(fs::exists(path));
                     EXPECT_EQ(files.count(FsCall::SyncFolder), 1);
                     EXPECT_EQ(files.count(FsCall::Open), kPasses + 1);
                 }},
        RaceCase{"in_such_a_folder_the_file_cannot_be_opened_to_flush_the_delete", kSmall,
                 [](FaultyFileSystem& files, const TempDir&, const std::string&) {
                     files.failOn({FsCall::OpenFolder, 1, EACCES});
                     files.failOn({FsCall::Open, kPasses + 1, EMFILE});
                 },
                 StopReason{.stop = Stop::CallFailed, .call = Call::FlushFolder, .err = EMFILE, .when = kAfter}},
        // The link's folder is flushed after the link is removed: a failure there is reported.
        RaceCase{"links_folder_cannot_be_flushed", kSmall,
                 asALink([](FaultyFileSystem& files) { files.failOn({FsCall::SyncFolder, 2, EIO}); }),
                 StopReason{.stop = Stop::CallFailed, .call = Call::FlushFolder, .err = EIO, .when = kAfter},
                 [](FaultyFileSystem&, const TempDir& dir, const std::string& path) {
                     EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
                     EXPECT_FALSE(fs::exists(dir.file("a/target")));
                 }},
        RaceCase{"link_not_readable_through_its_descriptor", kSmall,
                 asALink([](FaultyFileSystem& files) { files.failOn({FsCall::ReadLink, 1, EIO}); }),
                 Failed(Call::FollowLink, EIO)},
        RaceCase{"links_folder_cannot_be_held", kSmall,
                 asALink([](FaultyFileSystem& files) { files.failOn({FsCall::OpenFolder, 1, EMFILE}); }),
                 Failed(Call::OpenFolder, EMFILE)},
        RaceCase{"replaced_after_the_last_pass_before_the_delete", kSmall,
                 atCloseOfPass(44,
                               [](const TempDir& dir, const std::string& path) {
                                   writeFile(dir.file("a/other"), "someone else's");
                                   fs::rename(dir.file("a/other"), path);
                               }),
                 kReplacedBeforeTheDelete,
                 [](FaultyFileSystem&, const TempDir&, const std::string& path) {
                     EXPECT_EQ(readFile(path), "someone else's");
                 }}),
    RowName<RaceCase>);

} // namespace
} // namespace quellon::testing
