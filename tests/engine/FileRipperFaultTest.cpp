// Every kind of step failing once: exactly one report carrying the injected errno, nothing after
// the failing step but releasing the descriptor, no delete, and the call returns.
#include "WipeTestSupport.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <unistd.h>

namespace quellon::testing {
namespace {

enum class Left { Unchanged, Overwritten, PartlyOverwritten, CrLf, Deleted };

const std::string kOverwritten = ". Its content was already overwritten 44 times; ";

struct FaultCase {
    const char* name;
    FaultyFileSystem::Fault fault;
    std::string description; // the report's text before ": <OS message>"; %s stands for the path
    Left left;               // what the file holds afterwards
    std::string after = {};  // what follows the OS message: the state the file is left in
};

// Name the row in test output instead of dumping its bytes.
void PrintTo(const FaultCase& row, std::ostream* out)
{
    *out << row.name;
}


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
    description.replace(description.find("%s"), 2, "\"" + path + "\"");
    description += ": " + std::string(std::strerror(c.fault.error)) + c.after;
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].prompt, ErrorReportText({c.fault.error, description, "FileRipper"}));
    EXPECT_EQ(messages.shown[0].title, "ERROR");

    // After the failing call, nothing but the release of an open descriptor.
    const auto failed = std::find(files.log.rbegin(), files.log.rend(), c.fault.call);
    ASSERT_NE(failed, files.log.rend());
    for (auto it = files.log.rbegin(); it != failed; ++it)
        EXPECT_TRUE(*it == FsCall::Close || *it == FsCall::Look) << "a step ran after the failure";
    const bool deleteRan = c.fault.call == FsCall::Unlink || c.left == Left::Deleted;
    EXPECT_EQ(files.count(FsCall::Unlink), deleteRan ? 1 : 0);

    if (c.left == Left::Deleted) {
        EXPECT_FALSE(std::filesystem::exists(path));
        return;
    }
    ASSERT_TRUE(std::filesystem::exists(path));
    const std::string left = readFile(path);
    switch (c.left) {
    case Left::Unchanged: EXPECT_EQ(left, original); break;
    case Left::Overwritten: EXPECT_EQ(left.find('o'), std::string::npos); break;
    case Left::PartlyOverwritten: EXPECT_NE(left, original); break;
    case Left::CrLf: EXPECT_EQ(left, "\r\n"); break;
    case Left::Deleted: break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, WipeFault,
    ::testing::Values(
        FaultCase{"first_open_refused", {FsCall::Open, 1, EACCES}, "Cannot open %s for writing", Left::Unchanged},
        FaultCase{"attributes_unreadable", {FsCall::Stat, 1, EIO}, "Cannot read the attributes of %s", Left::Unchanged},
        FaultCase{"reopen_for_pass_5_fails", {FsCall::Open, 5, EMFILE}, "Cannot open %s for writing (pass 5 of 44)",
                  Left::Overwritten},
        FaultCase{"identity_check_of_pass_5_fails", {FsCall::Stat, 6, EIO},
                  "Cannot read the attributes of %s (pass 5 of 44)", Left::Overwritten},
        FaultCase{"write_of_pass_17_fails", {FsCall::Write, 17, EIO}, "Cannot write to %s (pass 17 of 44)", Left::Overwritten},
        FaultCase{"short_write_then_disk_full", {FsCall::Write, 1, ENOSPC, true}, "Cannot write to %s (pass 1 of 44)",
                  Left::PartlyOverwritten},
        FaultCase{"flush_of_pass_30_fails", {FsCall::Sync, 30, EIO}, "Cannot flush %s to the disk (pass 30 of 44)",
                  Left::Overwritten},
        FaultCase{"truncate_fails", {FsCall::Truncate, 1, EPERM}, "Cannot truncate %s", Left::Overwritten,
                  kOverwritten + "the file is left in place at its full length"},
        FaultCase{"close_of_pass_12_fails", {FsCall::Close, 12, EIO}, "Cannot close %s (pass 12 of 44)", Left::Overwritten},
        FaultCase{"delete_fails", {FsCall::Unlink, 1, EACCES}, "Cannot delete %s", Left::CrLf,
                  kOverwritten + "the file is left in place, 2 bytes long (CR LF)"},
        FaultCase{"file_system_unreadable", {FsCall::StatFs, 1, EIO}, "Cannot read the file system of %s",
                  Left::Unchanged},
        FaultCase{"mount_table_unreadable", {FsCall::MountOptions, 1, EACCES}, "Cannot read the mount options of %s",
                  Left::Unchanged},
        FaultCase{"attribute_flags_unreadable", {FsCall::Attributes, 1, EIO}, "Cannot read the attribute flags of %s",
                  Left::Unchanged},
        FaultCase{"block_map_unreadable", {FsCall::Extents, 1, EIO}, "Cannot read the block map of %s",
                  Left::Unchanged},
        FaultCase{"lease_check_fails", {FsCall::Lease, 1, ENOLCK},
                  "Cannot check whether %s is open in another program", Left::Unchanged},
        FaultCase{"lease_cannot_be_released", {FsCall::Lease, 2, EIO}, "Cannot release the lease on %s (pass 1 of 44)",
                  Left::Overwritten},
        FaultCase{"read_back_cannot_bypass_the_cache", {FsCall::SetFlags, 1, EBADF},
                  "Cannot read %s back to check the overwrite", Left::Overwritten,
                  kOverwritten + "the file is left in place at its full length (it was not read back)"},
        FaultCase{"read_back_fails", {FsCall::Read, 1, EIO}, "Cannot read %s back to check the overwrite",
                  Left::Overwritten, kOverwritten + "the file is left in place at its full length (it was not read back)"},
        FaultCase{"folder_flush_after_the_delete_fails", {FsCall::SyncFolder, 1, EIO},
                  "Cannot flush the folder of %s to the disk", Left::Deleted,
                  ". The file was overwritten 44 times and deleted; the delete may not have reached the disk"},
        FaultCase{"path_cannot_be_looked_at", {FsCall::StatAt, 1, EIO}, "Cannot read the attributes of %s",
                  Left::Unchanged},
        FaultCase{"folder_cannot_be_opened", {FsCall::OpenFolder, 1, EMFILE}, "Cannot open the folder of %s",
                  Left::Unchanged},
        FaultCase{"mount_check_fails", {FsCall::MountRoot, 1, EIO}, "Cannot read the attributes of %s",
                  Left::Unchanged},
        FaultCase{"lease_state_unreadable_in_pass_3", {FsCall::GetLease, 3, EIO},
                  "Cannot check whether %s is open in another program (pass 3 of 44)", Left::Overwritten},
        FaultCase{"name_cannot_be_looked_at_before_the_delete", {FsCall::StatAt, 46, EIO},
                  "Cannot read the attributes of %s", Left::CrLf,
                  kOverwritten + "the file is left in place, 2 bytes long (CR LF)"}),
    [](const auto& row) { return std::string(row.param.name); });

} // namespace
} // namespace quellon::testing

namespace quellon::testing {
namespace {

// Waiting for the disk consumes a write error, so the flush at the end of the pass would not see it:
// the wait's own failure must be the one reported.
TEST_F(WipeTest, FailedWaitForTheDiskIsReportedNotLost)
{
    const std::string path = dir.file("large");
    writeFile(path, std::string(std::size_t{48} << 20, 'L'));
    files.failOn({FsCall::AwaitWriteback, 1, EIO});
    EXPECT_EQ(ripper.Wipe(path, nullptr), WipeOutcome::Failed);
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].prompt,
              ErrorReportText({EIO, "Cannot flush \"" + path + "\" to the disk (pass 1 of 44): Input/output error",
                               "FileRipper"}));
    EXPECT_EQ(files.count(FsCall::Sync), 0);
    EXPECT_EQ(files.count(FsCall::Unlink), 0);
}

} // namespace
} // namespace quellon::testing
