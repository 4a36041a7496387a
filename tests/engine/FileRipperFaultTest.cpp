// Every kind of step failing once: exactly one report carrying the injected errno, nothing after
// the failing step but releasing the descriptor, no delete, and the call returns.
#include "WipeTestSupport.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <unistd.h>

namespace quellon::testing {
namespace {

enum class Left { Unchanged, Overwritten, PartlyOverwritten, CrLf };

struct FaultCase {
    const char* name;
    FaultyFileSystem::Fault fault;
    std::string description; // the report's text before ": <OS message>"; %s stands for the path
    Left left;               // what the file holds afterwards
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
    description += ": " + std::string(std::strerror(c.fault.error));
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].prompt, ErrorReportText({c.fault.error, description, "FileRipper"}));
    EXPECT_EQ(messages.shown[0].title, "ERROR");

    // After the failing call, nothing but the release of an open descriptor.
    const auto failed = std::find(files.log.rbegin(), files.log.rend(), c.fault.call);
    ASSERT_NE(failed, files.log.rend());
    for (auto it = files.log.rbegin(); it != failed; ++it)
        EXPECT_EQ(*it, FsCall::Close) << "a step ran after the failure";
    EXPECT_EQ(files.count(FsCall::Unlink), c.fault.call == FsCall::Unlink ? 1 : 0);

    ASSERT_TRUE(std::filesystem::exists(path));
    const std::string left = readFile(path);
    switch (c.left) {
    case Left::Unchanged: EXPECT_EQ(left, original); break;
    case Left::Overwritten: EXPECT_EQ(left.find('o'), std::string::npos); break;
    case Left::PartlyOverwritten: EXPECT_NE(left, original); break;
    case Left::CrLf: EXPECT_EQ(left, "\r\n"); break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, WipeFault,
    ::testing::Values(
        FaultCase{"first_open_refused", {FsCall::Open, 1, EACCES}, "Cannot open %s for writing", Left::Unchanged},
        FaultCase{"attributes_unreadable", {FsCall::Stat, 1, EIO}, "Cannot read the attributes of %s", Left::Unchanged},
        FaultCase{"reopen_for_pass_5_fails", {FsCall::Open, 5, EMFILE}, "Cannot open %s for writing (pass 5 of 44)",
                  Left::Overwritten},
        FaultCase{"write_of_pass_17_fails", {FsCall::Write, 17, EIO}, "Cannot write to %s (pass 17 of 44)", Left::Overwritten},
        FaultCase{"short_write_then_disk_full", {FsCall::Write, 1, ENOSPC, true}, "Cannot write to %s (pass 1 of 44)",
                  Left::PartlyOverwritten},
        FaultCase{"flush_of_pass_30_fails", {FsCall::Sync, 30, EIO}, "Cannot flush %s to the disk (pass 30 of 44)",
                  Left::Overwritten},
        FaultCase{"truncate_fails", {FsCall::Truncate, 1, EPERM}, "Cannot truncate %s", Left::Overwritten},
        FaultCase{"close_of_pass_12_fails", {FsCall::Close, 12, EIO}, "Cannot close %s (pass 12 of 44)", Left::Overwritten},
        FaultCase{"delete_fails", {FsCall::Unlink, 1, EACCES}, "Cannot delete %s", Left::CrLf}),
    [](const auto& row) { return std::string(row.param.name); });

} // namespace
} // namespace quellon::testing
