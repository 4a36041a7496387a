// SPDX-License-Identifier: GPL-3.0-or-later

// What a recovery program would find: wipe a file of unique markers on a loop-mounted image, unmount,
// and search the raw image. A file removed with a plain unlink is the control: its markers must
// still be found, or the search proves nothing.
#include "Defragmenter.h"
#include "LoopImage.h"
#include "WipeTestSupport.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include <sys/wait.h>

namespace quellon::testing {
namespace {

using quellon::testing::PrintTo;
using quellon::testing::RowName;

constexpr int kMarkers = 65536; // 16 bytes each: a 1 MiB file

// `prefix` is 8 characters; each marker is the prefix and an 8-digit number.
std::string markerFile(const std::string& prefix)
{
    std::string out;
    out.reserve(std::size_t{kMarkers} * 16);
    char number[16];
    for (int i = 0; i < kMarkers; ++i) {
        static_cast<void>(std::snprintf(number, sizeof number, "%08d", i));
        out += prefix;
        out += number;
    }
    return out;
}

TEST(Recovery, WipedFileLeavesNoMarkerOnExt4)
{
    if (std::string why = LoopImage::whyUnavailable("mkfs.ext4"); !why.empty())
        GTEST_SKIP() << "recovery test skipped: " << why;
    TempDir dir;
    LoopImage image(dir.path().string(), 64, "mkfs.ext4 -q -F", "");
    ASSERT_TRUE(image.error().empty()) << image.error();

    const std::string wiped = image.mountPoint() + "/secret.txt";
    const std::string control = image.mountPoint() + "/control.txt";
    writeFile(wiped, markerFile("QLNWIPE-"));
    writeFile(control, markerFile("QLNCTRL-"));
    ASSERT_TRUE(runCommand("sync"));

    ASSERT_TRUE(runCommand(std::string(QUELLON_WIPE_BINARY) + " '" + wiped + "'"));
    ASSERT_EQ(std::remove(control.c_str()), 0);
    ASSERT_TRUE(image.unmount());

    EXPECT_GT(image.countInImage("QLNCTRL-"), 0u) << "the control's markers vanished: the search proves nothing";
    EXPECT_EQ(image.countInImage("QLNWIPE-"), 0u) << "markers of the wiped file are still on the device";
}

// The harness's exit status (-1 when it did not exit normally); its stderr goes to `errors`.
int runWipe(const std::string& path, const std::string& errors)
{
    const std::string command = std::string(QUELLON_WIPE_BINARY) + " '" + path + "' 2>'" + errors + "'";
    const int status = std::system(command.c_str());
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Under a file-size limit smaller than the file (`ulimit -f`, in KiB here), the first write past it
// fails: one report and exit 1, the file kept; the limit's signal must not end the program half-way.
TEST(Recovery, FileSizeLimitIsAReportedWriteFailure)
{
    TempDir dir;
    const std::string file = dir.file("large.txt");
    writeFile(file, markerFile("QLNLIMT-"));
    const std::string errors = dir.file("errors.txt");
    const std::string command =
        "ulimit -f 64 && exec " + std::string(QUELLON_WIPE_BINARY) + " '" + file + "' 2>'" + errors + "'";
    const int status = std::system(("bash -c \"" + command + "\"").c_str());
    ASSERT_TRUE(status != -1 && WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const std::string reports = readFile(errors);
    EXPECT_NE(reports.find("Cannot write to"), std::string::npos) << reports;
    EXPECT_NE(reports.find("File too large"), std::string::npos) << reports;
    EXPECT_TRUE(std::filesystem::exists(file)) << "a file whose wipe failed must be kept";
}

std::size_t occurrences(const std::string& text, const std::string& needle)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

struct FileSystemCase {
    const char* name;
    const char* tool;
    std::size_t sizeMiB;
    std::string mkfs;
    std::string mountOptions;
    bool refused; // true: the wipe must refuse the file and leave it whole
};

class RecoveryOn : public ::testing::TestWithParam<FileSystemCase> {};

TEST_P(RecoveryOn, WipedLeavesNoMarkerOrRefusedLeavesTheFileWhole)
{
    const FileSystemCase& c = GetParam();
    if (std::string why = LoopImage::whyUnavailable(c.tool); !why.empty())
        GTEST_SKIP() << "recovery test skipped: " << why;
    TempDir dir;
    LoopImage image(dir.path().string(), c.sizeMiB, c.mkfs, c.mountOptions);
    ASSERT_TRUE(image.error().empty()) << image.error();

    const std::string wiped = image.mountPoint() + "/secret.txt";
    const std::string control = image.mountPoint() + "/control.txt";
    const std::string secret = markerFile("QLNWIPE-");
    writeFile(wiped, secret);
    writeFile(control, markerFile("QLNCTRL-"));
    ASSERT_TRUE(runCommand("sync"));

    const std::string errors = dir.file("errors.txt");
    const int status = runWipe(wiped, errors);
    const std::string reports = readFile(errors);
    if (c.refused) {
        EXPECT_EQ(status, 1);
        EXPECT_EQ(occurrences(reports, "Error description: "), 1u) << reports;
        EXPECT_NE(reports.find(", so it was not wiped"), std::string::npos) << reports;
        EXPECT_EQ(readFile(wiped), secret) << "a refused file must be left exactly as it was";
    } else {
        EXPECT_EQ(status, 0) << reports;
    }
    ASSERT_EQ(std::remove(control.c_str()), 0);
    ASSERT_TRUE(image.unmount());

    const std::size_t controlFound = image.countInImage("QLNCTRL-");
    const std::size_t wipedFound = image.countInImage("QLNWIPE-");
    std::printf("%s: %zu wiped-file markers left, %zu control markers found\n", c.name, wipedFound, controlFound);
    EXPECT_GT(controlFound, 0u) << "the control's markers vanished: the search proves nothing";
    if (c.refused) {
        EXPECT_GE(wipedFound, static_cast<std::size_t>(kMarkers)) << "the refused file is not whole on the device";
    } else {
        EXPECT_EQ(wipedFound, 0u) << "markers of the wiped file are still on the device";
    }
}

INSTANTIATE_TEST_SUITE_P(FileSystems, RecoveryOn,
    ::testing::Values(
        FileSystemCase{"ext4_with_writeback_data", "mkfs.ext4", 64, "mkfs.ext4 -q -F", "data=writeback", false},
        FileSystemCase{"xfs", "mkfs.xfs", 300, "mkfs.xfs -q -f", "", false},
        FileSystemCase{"btrfs_is_refused", "mkfs.btrfs", 128, "mkfs.btrfs -q -f", "", true},
        FileSystemCase{
            "ext4_with_journalled_data_is_refused", "mkfs.ext4", 64, "mkfs.ext4 -q -F", "data=journal", true}),
    RowName<FileSystemCase>);

// Another program acting at the worst moment, played through the file layer's hooks, on a real
// image: either a true success with no marker of the wiped file left, or one report with the file
// kept. The control is removed with a plain unlink and must still be found.
enum class Attack {
    FolderSwappedForALinkBeforeTheDelete, // to a folder holding a file of the same name
    DataAppendedBetweenPasses,
    BlocksMovedWhileTheLeaseIsWaitedFor, // by a defragmenter: size and change time stay as they were
};

struct AttackCase {
    const char* name;
    Attack attack;
};

class RecoveryUnderAttack : public WipeTest, public ::testing::WithParamInterface<AttackCase> {};

TEST_P(RecoveryUnderAttack, TrueSuccessOrOneReportAndNoMarkerOfTheOldContentLeft)
{
    namespace fs = std::filesystem;
    if (std::string why = LoopImage::whyUnavailable("mkfs.ext4"); !why.empty())
        GTEST_SKIP() << "recovery test skipped: " << why;
    LoopImage image(dir.path().string(), 64, "mkfs.ext4 -q -F", "");
    ASSERT_TRUE(image.error().empty()) << image.error();

    const fs::path mnt = image.mountPoint();
    fs::create_directory(mnt / "a");
    fs::create_directory(mnt / "b");
    const std::string wiped = (mnt / "a" / "secret.txt").string();
    const std::string other = (mnt / "b" / "secret.txt").string();
    const std::string control = (mnt / "control.txt").string();
    const std::string othersContent = markerFile("QLNOTHR-");
    writeFile(wiped, markerFile("QLNWIPE-"));
    writeFile(other, othersContent);
    writeFile(control, markerFile("QLNCTRL-"));
    ASSERT_TRUE(runCommand("sync"));

    constexpr std::size_t kAppended = 16384;
    int closes = 0;
    if (GetParam().attack == Attack::FolderSwappedForALinkBeforeTheDelete) {
        files.beforeUnlink = [&](const std::string&) {
            fs::rename(mnt / "a", mnt / "a-moved");
            fs::create_directory_symlink("b", mnt / "a");
        };
    } else if (GetParam().attack == Attack::BlocksMovedWhileTheLeaseIsWaitedFor) {
        files.beforeCall = [&, moved = false](FsCall call, int) mutable {
            if (call == FsCall::Lease && !std::exchange(moved, true)) {
                EXPECT_EQ(moveBlocksAsADefragmenterDoes(wiped), "");
            }
        };
    } else {
        files.beforeClose = [&](int) {
            if (++closes != 3)
                return;
            std::ofstream out(wiped, std::ios::binary | std::ios::app);
            const std::string markers = markerFile("QLNAPPD-");
            out << markers.substr(0, kAppended * 16);
        };
    }

    const WipeOutcome outcome = wipe(wiped);
    files.beforeUnlink = nullptr;
    files.beforeClose = nullptr;
    files.beforeCall = nullptr;
    ASSERT_EQ(std::remove(control.c_str()), 0);

    if (GetParam().attack == Attack::FolderSwappedForALinkBeforeTheDelete) {
        EXPECT_EQ(outcome, WipeOutcome::Wiped);
        EXPECT_EQ(stopped, std::nullopt);
        EXPECT_EQ(readFile(other), othersContent) << "the same-named file in the other folder was touched";
        EXPECT_FALSE(fs::exists(mnt / "a-moved" / "secret.txt")) << "the file asked for is still there";
    } else if (GetParam().attack == Attack::BlocksMovedWhileTheLeaseIsWaitedFor) {
        // Stopped before anything was written: the map after the lease is not the map first read.
        EXPECT_EQ(stopped, StopReason{.stop = Stop::ChangedAtStart});
        EXPECT_EQ(files.count(FsCall::Write), 0);
        EXPECT_EQ(readFile(wiped), markerFile("QLNWIPE-"));
        ASSERT_TRUE(image.unmount());
        return;
    } else {
        EXPECT_EQ(outcome, WipeOutcome::Failed);
        // Appended after pass 3, and seen as pass 4 opens the file.
        const std::uint64_t length = std::uint64_t{kMarkers} * 16;
        EXPECT_EQ(stopped,
            (StopReason{
                .stop = Stop::Resized, .when = When::inPass(4), .expected = length, .found = length + kAppended * 16}));
        EXPECT_TRUE(fs::exists(wiped)) << "the file with the appended data must be kept, as the report says";
    }
    ASSERT_TRUE(image.unmount());

    const std::size_t controlFound = image.countInImage("QLNCTRL-");
    const std::size_t wipedFound = image.countInImage("QLNWIPE-");
    std::printf(
        "%s: %zu wiped-file markers left, %zu control markers found\n", GetParam().name, wipedFound, controlFound);
    EXPECT_GT(controlFound, 0u) << "the control's markers vanished: the search proves nothing";
    EXPECT_EQ(wipedFound, 0u) << "markers of the wiped file are still on the device";
    if (GetParam().attack == Attack::FolderSwappedForALinkBeforeTheDelete)
        EXPECT_GE(image.countInImage("QLNOTHR-"), static_cast<std::size_t>(kMarkers));
    else
        EXPECT_GE(image.countInImage("QLNAPPD-"), kAppended) << "the appended data is in the kept file";
}

INSTANTIATE_TEST_SUITE_P(Attacks, RecoveryUnderAttack,
    ::testing::Values(
        AttackCase{"folder_swapped_for_a_link_before_the_delete", Attack::FolderSwappedForALinkBeforeTheDelete},
        AttackCase{"data_appended_between_passes", Attack::DataAppendedBetweenPasses},
        AttackCase{"blocks_moved_while_the_lease_is_waited_for", Attack::BlocksMovedWhileTheLeaseIsWaitedFor}),
    RowName<AttackCase>);

} // namespace
} // namespace quellon::testing
