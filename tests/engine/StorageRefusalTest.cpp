// SPDX-License-Identifier: GPL-3.0-or-later

// Real file systems on loop-mounted images made in the test's own folder: the storage that an
// overwrite cannot reach is refused with one report and the file left untouched; the in-place file
// systems beside them are wiped. Needs root and loop devices; skips visibly elsewhere.
#include "LoopImage.h"
#include "WipeTestSupport.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace quellon::testing {
namespace {

namespace fs = std::filesystem;
using quellon::testing::PrintTo;

// What is put on the image before the wipe.
enum class Setup {
    PlainFile,        // a 64 KiB file
    ReflinkedCopy,    // the file and a copy sharing its blocks (cp --reflink=always)
    SmallFile,        // 40 bytes, small enough for inline data
    JournalAttribute, // the file with the journal-data attribute (chattr +j), set before its data
};

struct MountCase {
    const char* name;
    const char* tool; // the mkfs program the row needs
    std::size_t sizeMiB;
    std::string mkfs; // command run on the image file (its path is appended)
    std::string mountOptions;
    Setup setup;
    std::optional<StopReason> reason; // why it is refused; none: wiped as usual
};

// mkfs.ext4, then the superblock's default mount options changed with tune2fs.
std::string ext4WithDefaults(const std::string& defaults)
{
    return "sh -c 'mkfs.ext4 -q -F \"$0\" && tune2fs -o " + defaults + " \"$0\"'";
}

// Sets the journal-data attribute; 0 or the errno of the failing call.
int setJournalAttribute(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int flags = 0;
    const bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
        (flags |= FS_JOURNAL_DATA_FL, ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    const int err = ok ? 0 : errno;
    ::close(fd);
    return err;
}

class OnRealStorage : public WipeTest, public ::testing::WithParamInterface<MountCase> {};

TEST_P(OnRealStorage, RefusedUntouchedOrWiped)
{
    const MountCase& c = GetParam();
    if (std::string why = LoopImage::whyUnavailable(c.tool); !why.empty())
        GTEST_SKIP() << "real file-system test skipped: " << why;
    LoopImage image(dir.path().string(), c.sizeMiB, c.mkfs, c.mountOptions);
    ASSERT_TRUE(image.error().empty()) << image.error();

    const std::string path = image.mountPoint() + "/secret";
    const std::string copy = image.mountPoint() + "/copy";
    const std::string contents = repeated("secret data ", c.setup == Setup::SmallFile ? 40 : 64 << 10);
    if (c.setup == Setup::JournalAttribute) {
        writeFile(path, "");
        if (const int err = setJournalAttribute(path); err == EPERM)
            GTEST_SKIP() << "setting the journal-data attribute needs CAP_SYS_RESOURCE, which this root lacks";
        else
            ASSERT_EQ(err, 0) << std::strerror(err);
    }
    writeFile(path, contents);
    if (c.setup == Setup::ReflinkedCopy) {
        ASSERT_TRUE(runCommand("cp --reflink=always '" + path + "' '" + copy + "'"));
    }
    ASSERT_TRUE(runCommand("sync"));

    const WipeOutcome outcome = wipe(path);

    EXPECT_EQ(stopped, c.reason);
    if (!c.reason) {
        EXPECT_EQ(outcome, WipeOutcome::Wiped);
        EXPECT_FALSE(fs::exists(path));
    } else {
        EXPECT_EQ(outcome, WipeOutcome::Failed);
        EXPECT_EQ(files.count(FsCall::Write), 0);
        EXPECT_EQ(readFile(path), contents);
    }
    if (c.setup == Setup::ReflinkedCopy) {
        EXPECT_EQ(readFile(copy), contents) << "the other file must never be touched";
    }
}

const StopReason kBtrfs{.stop = Stop::OutOfReach, .reach = Reach::CopyOnWrite, .name = "btrfs"};
const StopReason kDataJournal{.stop = Stop::OutOfReach, .reach = Reach::JournalledData, .name = "ext4"};

INSTANTIATE_TEST_SUITE_P(Images, OnRealStorage,
    ::testing::Values(
        MountCase{"btrfs_is_refused", "mkfs.btrfs", 128, "mkfs.btrfs -q -f", "", Setup::PlainFile, kBtrfs},
        MountCase{"a_reflinked_copy_on_btrfs_is_refused", "mkfs.btrfs", 128, "mkfs.btrfs -q -f", "",
            Setup::ReflinkedCopy, kBtrfs},
        MountCase{"ext4_mounted_with_data_journal_is_refused", "mkfs.ext4", 64, "mkfs.ext4 -q -F", "data=journal",
            Setup::PlainFile, kDataJournal},
        MountCase{"ext4_with_data_journal_from_its_superblock_defaults_is_refused", "tune2fs", 64,
            ext4WithDefaults("journal_data"), "", Setup::PlainFile, kDataJournal},
        MountCase{"a_reflinked_file_on_xfs_is_refused", "mkfs.xfs", 300, "mkfs.xfs -q -f -m reflink=1", "",
            Setup::ReflinkedCopy, StopReason{.stop = Stop::OutOfReach, .reach = Reach::SharedExtents}},
        MountCase{"a_small_file_kept_inline_on_ext4_is_refused", "mkfs.ext4", 64, "mkfs.ext4 -q -F -O inline_data", "",
            Setup::SmallFile, StopReason{.stop = Stop::OutOfReach, .reach = Reach::InlineData}},
        MountCase{"the_journal_data_attribute_without_delayed_allocation_is_refused", "mkfs.ext4", 64,
            "mkfs.ext4 -q -F", "nodelalloc", Setup::JournalAttribute,
            StopReason{.stop = Stop::OutOfReach, .reach = Reach::JournalAttribute}},
        MountCase{"the_journal_data_attribute_under_delayed_allocation_is_wiped", "mkfs.ext4", 64, "mkfs.ext4 -q -F",
            "", Setup::JournalAttribute, std::nullopt},
        MountCase{"ext4_with_writeback_data_is_wiped", "mkfs.ext4", 64, "mkfs.ext4 -q -F", "data=writeback",
            Setup::PlainFile, std::nullopt},
        MountCase{"xfs_with_reflink_support_but_no_shared_blocks_is_wiped", "mkfs.xfs", 300,
            "mkfs.xfs -q -f -m reflink=1", "", Setup::PlainFile, std::nullopt}),
    RowName<MountCase>);

class StorageRefusal : public WipeTest {};

// Opening an overlay file for writing copies it up into the upper layer: a second copy of the data.
// The refusal must come before any such open, so the upper layer stays empty.
TEST_F(StorageRefusal, OverlayFileIsRefusedBeforeItCanBeCopiedUp)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "overlay test skipped: needs root to mount";
    for (const char* sub : {"lower", "upper", "work", "merged"})
        std::filesystem::create_directory(dir.path() / sub);
    const std::string d = dir.path().string();
    if (!runCommand("mount -t overlay overlay -o lowerdir=" + d + "/lower,upperdir=" + d + "/upper,workdir=" + d +
            "/work " + d + "/merged 2>/dev/null"))
        GTEST_SKIP() << "overlay test skipped: cannot mount an overlay file system here";
    writeFile(d + "/lower/secret", "lower layer data");

    const std::string path = d + "/merged/secret";
    EXPECT_EQ(wipe(path), WipeOutcome::Failed);
    const bool unmounted = runCommand("umount " + d + "/merged");

    EXPECT_EQ(stopped, (StopReason{.stop = Stop::OutOfReach, .reach = Reach::Overlay, .name = "overlay"}));
    EXPECT_EQ(files.count(FsCall::Open), 0) << "opened for writing: that alone copies the file up";
    EXPECT_TRUE(std::filesystem::is_empty(d + "/upper")) << "the file was copied up into the upper layer";
    EXPECT_EQ(readFile(d + "/lower/secret"), "lower layer data");
    EXPECT_TRUE(unmounted);
}

} // namespace
} // namespace quellon::testing
