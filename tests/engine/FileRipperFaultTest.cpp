// SPDX-License-Identifier: GPL-3.0-or-later

// Every kind of step failing once: exactly one report carrying the injected errno, nothing after
// the failing step but releasing the descriptor, no delete, and the call returns.
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

enum class Left { Unchanged, Overwritten, PartlyOverwritten, CrLf, Deleted };

const std::string kOverwritten = ". Its content was already overwritten 44 times; ";

struct FaultCase {
    const char* name;
    FaultyFileSystem::Fault fault;
    std::string description; // the report's text before ": <OS message>"; %s stands for the path
    Left left;               // what the file holds afterwards
    std::string after = {};  // what follows the OS message: the state the file is left in
};

class WipeFault : public WipeTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(WipeFault, ReportsOnceAndStops)
{
    const FaultCase& c = GetParam();
    const std::string path = dir.file("victim");
    const std::string original(6000, 'o');
    writeFile(path, original);
    files.failOn(c.fault);

    EXPECT_EQ(ripper.Wipe(path, nullptr), WipeOutcome::Failed);

    std::string description = c.description;
    description.replace(description.find("%s"), 2, quoted(path));
    expectOneReport(messages, c.fault.error, description + ": " + std::strerror(c.fault.error) + c.after);

    // After the failing call, nothing but the release of an open descriptor, and at the delete the
    // file's name given back.
    const auto failed = std::find(files.log.rbegin(), files.log.rend(), c.fault.call);
    ASSERT_NE(failed, files.log.rend());
    for (auto it = files.log.rbegin(); it != failed; ++it)
        EXPECT_TRUE(*it == FsCall::Close || *it == FsCall::Look || *it == FsCall::Rename)
            << "a step ran after the failure";
    const bool deleteRan = c.fault.call == FsCall::Unlink || c.left == Left::Deleted;
    EXPECT_EQ(files.count(FsCall::Unlink), deleteRan ? 1 : 0);

    if (c.left == Left::Deleted) {
        EXPECT_FALSE(fs::exists(path));
        return;
    }
    ASSERT_TRUE(fs::exists(path));
    const std::string left = readFile(path);
    switch (c.left) {
    case Left::Unchanged: EXPECT_EQ(left, original); break;
    case Left::Overwritten: EXPECT_EQ(left.find('o'), std::string::npos); break;
    case Left::PartlyOverwritten: EXPECT_NE(left, original); break;
    case Left::CrLf: EXPECT_EQ(left, "\r\n"); break;
    case Left::Deleted: break;
    }
}

INSTANTIATE_TEST_SUITE_P(Steps, WipeFault,
    ::testing::Values(
        FaultCase{"first_open_refused", {FsCall::Open, 1, EACCES}, "Cannot open %s for writing", Left::Unchanged},
        FaultCase{"attributes_unreadable", {FsCall::Stat, 1, EIO}, "Cannot read the attributes of %s", Left::Unchanged},
        FaultCase{"reopen_for_pass_5_fails", {FsCall::Open, 5, EMFILE}, "Cannot open %s for writing (pass 5 of 44)",
            Left::Overwritten},
        FaultCase{"identity_check_of_pass_5_fails", {FsCall::Stat, 6, EIO},
            "Cannot read the attributes of %s (pass 5 of 44)", Left::Overwritten},
        FaultCase{"write_of_pass_17_fails", {FsCall::Write, 17, EIO}, "Cannot write to %s (pass 17 of 44)",
            Left::Overwritten},
        FaultCase{"short_write_then_disk_full", {FsCall::Write, 1, ENOSPC, true}, "Cannot write to %s (pass 1 of 44)",
            Left::PartlyOverwritten},
        FaultCase{"flush_of_pass_30_fails", {FsCall::Sync, 30, EIO}, "Cannot flush %s to the disk (pass 30 of 44)",
            Left::Overwritten},
        FaultCase{"truncate_fails", {FsCall::Truncate, 1, EPERM}, "Cannot truncate %s", Left::Overwritten,
            kOverwritten + "the file is left in place at its full length"},
        FaultCase{
            "close_of_pass_12_fails", {FsCall::Close, 12, EIO}, "Cannot close %s (pass 12 of 44)", Left::Overwritten},
        FaultCase{"delete_fails", {FsCall::Unlink, 1, EACCES}, "Cannot delete %s", Left::CrLf,
            kOverwritten + "the file is left in place, 2 bytes long (CR LF)"},
        // A folder the user may not delete from: the content is overwritten all the same.
        FaultCase{"delete_refused_by_the_folder", {FsCall::Rename, 1, EACCES}, "Cannot delete %s", Left::CrLf,
            kOverwritten + "the file is left in place, 2 bytes long (CR LF)"},
        FaultCase{
            "file_system_unreadable", {FsCall::StatFs, 1, EIO}, "Cannot read the file system of %s", Left::Unchanged},
        // Both small files fail: on ext4 its own list is read first, and the table only without it.
        FaultCase{"mount_table_unreadable", {FsCall::ReadFile, 1, EACCES, false, 2},
            "Cannot read the mount options of %s", Left::Unchanged},
        FaultCase{"attribute_flags_unreadable", {FsCall::Attributes, 1, EIO}, "Cannot read the attribute flags of %s",
            Left::Unchanged},
        FaultCase{
            "block_map_unreadable", {FsCall::Extents, 1, EIO}, "Cannot read the block map of %s", Left::Unchanged},
        FaultCase{"lease_check_fails", {FsCall::Lease, 1, ENOLCK}, "Cannot check whether %s is open in another program",
            Left::Unchanged},
        FaultCase{"lease_of_the_last_pass_cannot_be_taken", {FsCall::Lease, 2, ENOMEM},
            "Cannot check whether %s is open in another program (pass 44 of 44)", Left::Overwritten},
        FaultCase{"read_back_cannot_bypass_the_cache", {FsCall::SetFlags, 1, EBADF},
            "Cannot read %s back to check the overwrite", Left::Overwritten,
            kOverwritten + "the file is left in place at its full length (it was not read back)"},
        FaultCase{"read_back_fails", {FsCall::Read, 1, EIO}, "Cannot read %s back to check the overwrite",
            Left::Overwritten, kOverwritten + "the file is left in place at its full length (it was not read back)"},
        FaultCase{"folder_flush_after_the_delete_fails", {FsCall::SyncFolder, 1, EIO},
            "Cannot flush the folder of %s to the disk", Left::Deleted,
            ". The file was overwritten 44 times and deleted; the delete may not have reached the disk"},
        FaultCase{
            "path_cannot_be_looked_at", {FsCall::StatAt, 1, EIO}, "Cannot read the attributes of %s", Left::Unchanged},
        FaultCase{"folder_cannot_be_opened", {FsCall::OpenFolder, 1, EMFILE}, "Cannot open the folder of %s",
            Left::Unchanged},
        FaultCase{
            "mount_check_fails", {FsCall::MountRoot, 1, EIO}, "Cannot read the attributes of %s", Left::Unchanged},
        FaultCase{"lease_state_unreadable_before_the_cut", {FsCall::GetLease, 3, EIO},
            "Cannot check whether %s is open in another program (pass 44 of 44)", Left::Overwritten},
        FaultCase{"name_cannot_be_looked_at_before_the_delete", {FsCall::StatAt, 4, EIO},
            "Cannot read the attributes of %s", Left::CrLf,
            kOverwritten + "the file is left in place, 2 bytes long (CR LF)"}),
    RowName<FaultCase>);

class WipeDiskWait : public WipeTest {};

// Waiting for the disk consumes a write error, so the flush at the end of the pass would not see it:
// the wait's own failure must be the one reported.
TEST_F(WipeDiskWait, FailedWaitForTheDiskIsReportedNotLost)
{
    const std::string path = dir.file("large");
    writeFile(path, std::string(std::size_t{48} << 20, 'L'));
    files.failOn({FsCall::AwaitWriteback, 1, EIO});
    EXPECT_EQ(ripper.Wipe(path, nullptr), WipeOutcome::Failed);
    expectOneReport(messages, EIO, "Cannot flush " + quoted(path) + " to the disk (pass 1 of 44): Input/output error");
    EXPECT_EQ(files.count(FsCall::Sync), 0);
    EXPECT_EQ(files.count(FsCall::Unlink), 0);
}

// ---- Another program changing the file or its folder during the wipe ----

struct RaceCase {
    const char* name;
    std::size_t size; // of the file wiped, a/victim in the test's folder
    // Sets the hooks that play the other program.
    std::function<void(FaultyFileSystem& files, const TempDir& dir, const std::string& path)> arm;
    bool wiped;                        // true: a true success; false: one report, the file not deleted
    int number;                        // the report's errno
    std::vector<std::string> mentions; // what the report must say; %s: the quoted path
    // Checks after the wipe (may be empty).
    std::function<void(FaultyFileSystem& files, const TempDir& dir, const std::string& path)> verify = {};
};

class WipeRace : public WipeTest, public ::testing::WithParamInterface<RaceCase> {};

TEST_P(WipeRace, EndsInTrueSuccessOrOneReportWithTheFileKept)
{
    const RaceCase& c = GetParam();
    fs::create_directory(dir.path() / "a");
    const std::string path = dir.file("a/victim");
    writeFile(path, std::string(c.size, 'o'));
    c.arm(files, dir, path);

    const WipeOutcome outcome = ripper.Wipe(path, nullptr);
    files.beforeClose = nullptr;
    files.beforeUnlink = nullptr;
    files.alterRead = nullptr;
    files.alterLease = nullptr;
    files.beforeCall = nullptr;

    if (c.wiped) {
        EXPECT_EQ(outcome, WipeOutcome::Wiped);
        EXPECT_TRUE(messages.shown.empty()) << messages.shown[0].prompt;
    } else {
        EXPECT_EQ(outcome, WipeOutcome::Failed);
        std::vector<std::string> mentions = c.mentions;
        for (std::string& mention : mentions) {
            if (const std::size_t at = mention.find("%s"); at != std::string::npos)
                mention.replace(at, 2, quoted(path));
        }
        expectOneReportSaying(messages, c.number, mentions);
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

// A descriptor that another program (played by this one) keeps open on the file.
int heldOpen = -1;

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

// Renamed or replaced during the passes: the file the wipe holds is wiped to the end under the name
// it now has, and only the delete, which finds another file or none under the name, is refused.
const std::string kReplacedBeforeTheDelete =
    "%s was replaced by another file during the wipe; the wipe stopped before it was deleted; nothing was deleted. "
    "Its content was already overwritten 44 times; it is no longer under its name, 2 bytes long (CR LF)";

void wipedUnderItsOldName(FaultyFileSystem& files, const TempDir&, const std::string& path)
{
    EXPECT_EQ(readFile(path + ".moved"), "\r\n");
    EXPECT_EQ(files.count(FsCall::Open), 44) << "every pass opens the file it holds, never what took its name";
}

const std::string kStopped = ", so the wipe stopped and the file was not deleted. Its old content may remain, for "
                             "example in free space.";
constexpr std::size_t kSmall = 6000;
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
                 true, 0, {},
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
                 false, ESTALE, {kReplacedBeforeTheDelete}, wipedUnderItsOldName},
        RaceCase{"fifo_swapped_in_between_passes", kSmall,
                 atCloseOfPass(3,
                               [](const TempDir&, const std::string& path) {
                                   fs::rename(path, path + ".moved");
                                   ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
                               }),
                 false, ESTALE, {kReplacedBeforeTheDelete},
                 [](FaultyFileSystem& files, const TempDir& dir, const std::string& path) {
                     wipedUnderItsOldName(files, dir, path);
                     EXPECT_TRUE(fs::is_fifo(path));
                 }},
        RaceCase{"renamed_away_between_passes", kSmall,
                 atCloseOfPass(3, [](const TempDir&, const std::string& path) { fs::rename(path, path + ".moved"); }),
                 false, ESTALE, {kReplacedBeforeTheDelete}, wipedUnderItsOldName},
        RaceCase{"lengthened_between_passes", kSmall,
                 atCloseOfPass(5, [](const TempDir&, const std::string& path) { append(path, "APPENDED"); }), false,
                 ESTALE,
                 {"%s was lengthened from ", " bytes by another program during the wipe (pass 6 of 44)" + kStopped},
                 keptWithAppended},
        RaceCase{"shortened_between_passes", kSmall,
                 atCloseOfPass(5, [](const TempDir&, const std::string& path) { cut(path, 100); }), false, ESTALE,
                 {"%s was shortened from ", " to 100 bytes by another program during the wipe (pass 6 of 44)" + kStopped},
                 keptOverwritten},
        RaceCase{"lengthened_between_the_read_back_and_the_cut", kSmall,
                 afterReadBack([](const std::string& path) { append(path, "APPENDED"); }), false, ESTALE,
                 {"%s was lengthened from ", " bytes by another program during the wipe (after the last pass was read "
                                            "back)" + kStopped},
                 keptWithAppended},
        RaceCase{"shortened_between_the_read_back_and_the_cut", kSmall,
                 afterReadBack([](const std::string& path) { cut(path, 10); }), false, ESTALE,
                 {"%s was shortened from ", " to 10 bytes by another program during the wipe (after the last pass was "
                                            "read back)" + kStopped},
                 keptOverwritten},
        // Without a lease, the blocks tell: a file cut and grown back to its size as pass 1 starts,
        // or with a hole punched in it before the last look at its blocks, had blocks freed.
        RaceCase{"cut_and_grown_back_without_a_lease_as_pass_1_starts", kSmall,
                 withoutLeaseBefore(FsCall::Write, 1,
                                    [](const std::string& path) {
                                        cut(path, 0);
                                        cut(path, kSmall);
                                    }),
                 false, ESTALE,
                 {"%s had its blocks freed or moved by another program during the wipe (pass 1 of 44)" + kStopped},
                 keptOverwritten},
        RaceCase{"hole_punched_without_a_lease_before_the_cut", kSmall,
                 withoutLeaseBefore(FsCall::Extents, 3, punchHole), false, ESTALE,
                 {"%s had its blocks freed or moved by another program during the wipe (after the last pass was read "
                  "back)" + kStopped}},
        RaceCase{"written_to_without_a_lease_before_the_first_write", kSmall,
                 withoutLeaseBefore(FsCall::Extents, 1, [](const std::string& path) { append(path, "APPENDED"); }),
                 false, ESTALE,
                 {"%s was changed by another program as the wipe began, so nothing was written and the file was not "
                  "deleted. Its old content may remain, for example in free space. Wipe it again when the other "
                  "program is done with it."},
                 [](FaultyFileSystem& files, const TempDir&, const std::string& path) {
                     EXPECT_EQ(readFile(path), std::string(kSmall, 'o') + "APPENDED");
                     EXPECT_EQ(files.count(FsCall::Write), 0);
                 }},
        RaceCase{"opened_for_writing_or_truncated_during_pass_1", kSmall, leaseBrokenTo(F_UNLCK, 1), false, EBUSY,
                 {"%s was opened for writing or truncated by another program during the wipe (pass 1 of 44)" + kStopped},
                 keptOverwritten},
        RaceCase{"opened_for_writing_or_truncated_during_the_last_pass", kSmall, leaseBrokenTo(F_UNLCK, 2), false,
                 EBUSY,
                 {"(pass 44 of 44)" + kStopped}, keptOverwritten},
        RaceCase{"opened_for_reading_during_a_pass_an_indexer_say", kSmall, leaseBrokenTo(F_RDLCK, 1), true, 0, {}},
        RaceCase{"really_opened_for_writing_during_a_pass", kLarge, openedDuringAPass(O_WRONLY), false, EBUSY,
                 {"(pass 1 of 44)" + kStopped}},
        RaceCase{"really_opened_for_reading_during_a_pass", kLarge, openedDuringAPass(O_RDONLY), true, 0, {}},
        // An indexer or a virus scanner that keeps the file open from pass 2 to the delete.
        RaceCase{"held_open_for_reading_from_pass_2_to_the_delete", kSmall,
                 atCloseOfPass(1,
                               [](const TempDir&, const std::string& path) {
                                   heldOpen = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
                               }),
                 true, 0, {},
                 [](FaultyFileSystem&, const TempDir&, const std::string& path) {
                     EXPECT_GE(::close(std::exchange(heldOpen, -1)), 0);
                     EXPECT_FALSE(fs::exists(path));
                 }},
        RaceCase{"replaced_after_the_last_pass_before_the_delete", kSmall,
                 atCloseOfPass(44,
                               [](const TempDir& dir, const std::string& path) {
                                   writeFile(dir.file("a/other"), "someone else's");
                                   fs::rename(dir.file("a/other"), path);
                               }),
                 false, ESTALE,
                 {"%s was replaced by another file during the wipe; the wipe stopped before it was deleted; nothing was "
                  "deleted. Its content was already overwritten 44 times"},
                 [](FaultyFileSystem&, const TempDir&, const std::string& path) {
                     EXPECT_EQ(readFile(path), "someone else's");
                 }}),
    RowName<RaceCase>);

} // namespace
} // namespace quellon::testing
