// SPDX-License-Identifier: GPL-3.0-or-later

// Where an overwrite in place can reach a file's old data, decided from the facts alone: every kind
// of refused storage, the local file systems that are wiped as usual, and the per-file rules. Also
// the reading of the mount table that some of the facts come from.
#include "StorageCheck.h"
#include "Rows.h"

#include <gtest/gtest.h>

#include <string>

namespace quellon::testing {
namespace {

using quellon::testing::PrintTo;
using quellon::testing::RowName;

constexpr std::uint64_t kExt = 0xEF53;
constexpr std::uint64_t kXfs = 0x58465342;
constexpr std::uint64_t kTmpfs = 0x01021994;

// What the check decides: wiped as usual, or refused with the kind of storage and the name the
// report gives (the words themselves are pinned with the other reports' words).
struct Decision {
    bool refused = false;
    Stop stop = Stop::OutOfReach;
    Reach reach = Reach::CopyOnWrite;
    std::string name;
};
const Decision kWiped{};
Decision refused(Reach reach, std::string name = "")
{
    return Decision{true, Stop::OutOfReach, reach, std::move(name)};
}
Decision kernelInterface(std::string name)
{
    return Decision{true, Stop::KernelInterface, Reach::CopyOnWrite, std::move(name)};
}

struct DecisionCase {
    const char* name;
    StorageFacts facts;
    Decision decision;
};

StorageFacts mounted(std::uint64_t magic, std::string type, std::string options = "rw,relatime")
{
    StorageFacts facts;
    facts.magic = magic;
    facts.type = std::move(type);
    facts.options = std::move(options);
    return facts;
}

StorageFacts withShared(StorageFacts facts)
{
    facts.sharedExtents = true;
    return facts;
}

StorageFacts withInline(StorageFacts facts)
{
    facts.inlineData = true;
    return facts;
}

StorageFacts withJournalAttribute(StorageFacts facts)
{
    facts.journalDataAttribute = true;
    return facts;
}

class StorageDecision : public ::testing::TestWithParam<DecisionCase> {};

TEST_P(StorageDecision, RefusesExactlyWhereAnOverwriteCannotReachTheOldData)
{
    auto why = WhyNotStoredData(GetParam().facts);
    if (!why)
        why = WhyOverwriteCannotReach(GetParam().facts);
    const Decision& expected = GetParam().decision;
    ASSERT_EQ(why.has_value(), expected.refused);
    if (!why)
        return;
    EXPECT_EQ(why->stop, expected.stop);
    if (why->stop == Stop::OutOfReach) {
        EXPECT_EQ(why->reach, expected.reach);
    }
    EXPECT_EQ(why->name, expected.name);
}

INSTANTIATE_TEST_SUITE_P(Facts, StorageDecision,
    ::testing::Values(
        DecisionCase{"btrfs_is_copy_on_write", mounted(0x9123683E, "btrfs"), refused(Reach::CopyOnWrite, "btrfs")},
        DecisionCase{"zfs_is_copy_on_write", mounted(0x2FC12FC1, "zfs"), refused(Reach::CopyOnWrite, "zfs")},
        DecisionCase{
            "bcachefs_is_copy_on_write", mounted(0xCA451A4E, "bcachefs"), refused(Reach::CopyOnWrite, "bcachefs")},
        DecisionCase{"a_copy_on_write_file_system_missing_from_the_mount_table_is_named_by_its_magic",
            mounted(0x9123683E, "", ""), refused(Reach::CopyOnWrite, "btrfs")},
        DecisionCase{"nilfs2_is_log_structured", mounted(0x3434, "nilfs2"), refused(Reach::LogStructured, "nilfs2")},
        DecisionCase{"f2fs_is_log_structured", mounted(0xF2F52010, "f2fs"), refused(Reach::LogStructured, "f2fs")},
        DecisionCase{"nfs_keeps_the_data_on_another_machine", mounted(0x6969, "nfs4"), refused(Reach::Network, "nfs4")},
        DecisionCase{
            "smb_keeps_the_data_on_another_machine", mounted(0xFE534D42, "cifs"), refused(Reach::Network, "cifs")},
        DecisionCase{"sshfs_is_fuse", mounted(0x65735546, "fuse.sshfs"), refused(Reach::Fuse, "fuse.sshfs")},
        DecisionCase{
            "ntfs_3g_on_a_local_disk_is_still_fuse", mounted(0x65735546, "fuseblk"), refused(Reach::Fuse, "fuseblk")},
        DecisionCase{"overlay_may_keep_the_data_on_a_lower_layer", mounted(0x794C7630, "overlay"),
            refused(Reach::Overlay, "overlay")},
        DecisionCase{"ecryptfs_writes_through_to_a_file_system_out_of_sight", mounted(0xF15F, "ecryptfs"),
            refused(Reach::Stacked, "ecryptfs")},
        DecisionCase{"ext4_with_ordered_data_is_wiped", mounted(kExt, "ext4", "rw,relatime,data=ordered"), kWiped},
        DecisionCase{"ext4_with_writeback_data_is_wiped", mounted(kExt, "ext4", "rw,relatime,data=writeback"), kWiped},
        DecisionCase{"ext4_with_journalled_data_is_refused", mounted(kExt, "ext4", "rw,relatime,data=journal"),
            refused(Reach::JournalledData, "ext4")},
        DecisionCase{"ext3_with_journalled_data_is_refused", mounted(kExt, "ext3", "rw,data=journal,errors=continue"),
            refused(Reach::JournalledData, "ext3")},
        DecisionCase{"journalled_data_named_only_in_ext4s_own_option_list_is_refused",
            mounted(kExt, "ext4", "rw,nodelalloc,rw,bsddf,nodelalloc,data=journal,barrier"),
            refused(Reach::JournalledData, "ext4")},
        DecisionCase{"journal_checksums_are_not_journalled_data",
            mounted(kExt, "ext4", "rw,journal_checksum,journal_async_commit"), kWiped},
        DecisionCase{"xfs_is_wiped", mounted(kXfs, "xfs", "rw,inode64,logbufs=8"), kWiped},
        DecisionCase{"a_proc_file_is_a_kernel_interface", mounted(0x9FA0, ""), kernelInterface("proc")},
        DecisionCase{
            "a_hugetlbfs_file_is_memory_not_stored_data", mounted(0x958458F6, ""), kernelInterface("hugetlbfs")},
        DecisionCase{
            "a_debugfs_file_is_a_kernel_interface", mounted(0x64626720, "debugfs"), kernelInterface("debugfs")},
        DecisionCase{"tmpfs_is_wiped", mounted(kTmpfs, "tmpfs", "rw,size=16384k"), kWiped},
        DecisionCase{"vfat_is_wiped", mounted(0x4D44, "vfat"), kWiped},
        DecisionCase{"exfat_is_wiped", mounted(0x2011BAB0, "exfat"), kWiped},
        DecisionCase{"an_unlisted_local_file_system_is_wiped", mounted(0x7366746E, "ntfs3"), kWiped},
        DecisionCase{
            "a_reflinked_file_on_xfs_is_refused", withShared(mounted(kXfs, "xfs")), refused(Reach::SharedExtents)},
        DecisionCase{"a_file_with_inline_data_on_ext4_is_refused", withInline(mounted(kExt, "ext4")),
            refused(Reach::InlineData)},
        DecisionCase{"the_journal_data_attribute_without_delayed_allocation_is_refused",
            withJournalAttribute(mounted(kExt, "ext4", "rw,nodelalloc")), refused(Reach::JournalAttribute)},
        DecisionCase{"the_journal_data_attribute_with_unknown_options_is_refused",
            withJournalAttribute(mounted(kExt, "", "")), refused(Reach::JournalAttribute)},
        DecisionCase{"the_journal_data_attribute_is_ignored_by_ext4_under_delayed_allocation",
            withJournalAttribute(mounted(kExt, "ext4", "rw,relatime,rw,delalloc,barrier")), kWiped},
        DecisionCase{"the_file_system_refusal_comes_before_the_per_file_rules",
            withShared(mounted(0x9123683E, "btrfs")), refused(Reach::CopyOnWrite, "btrfs")}),
    RowName<DecisionCase>);

struct MountLineCase {
    const char* name;
    std::string line;
    bool parsed;
    unsigned major = 0;
    unsigned minor = 0;
    std::string type;
    std::string superOptions;
};

class MountInfoParsing : public ::testing::TestWithParam<MountLineCase> {};

TEST_P(MountInfoParsing, TakesDeviceTypeAndSuperOptions)
{
    const MountLineCase& c = GetParam();
    const auto line = ParseMountInfoLine(c.line);
    ASSERT_EQ(line.has_value(), c.parsed);
    if (!line)
        return;
    EXPECT_EQ(line->major, c.major);
    EXPECT_EQ(line->minor, c.minor);
    EXPECT_EQ(line->type, c.type);
    EXPECT_EQ(line->superOptions, c.superOptions);
}

INSTANTIATE_TEST_SUITE_P(Lines, MountInfoParsing,
    ::testing::Values(MountLineCase{"a_plain_line", "26 1 254:0 / / rw,relatime - ext4 disk0 rw,discard", true, 254, 0,
                          "ext4", "rw,discard"},
        MountLineCase{"optional_fields_before_the_separator",
            "36 35 98:0 /q/a /q/b rw,noatime master:1 shared:7 - ext3 disk1 rw,errors=continue", true, 98, 0, "ext3",
            "rw,errors=continue"},
        MountLineCase{"an_escaped_space_in_the_mount_point", "44 26 7:12 / /q/my\\040disk rw - xfs loop12 rw,inode64\n",
            true, 7, 12, "xfs", "rw,inode64"},
        MountLineCase{"a_fuse_subtype", "50 26 0:45 / /q/net rw,nosuid - fuse.sshfs ann@host:/ rw,user_id=0", true, 0,
            45, "fuse.sshfs", "rw,user_id=0"},
        MountLineCase{
            "large_device_numbers", "60 26 259:1048575 / /q/big rw - xfs disk2 rw", true, 259, 1048575, "xfs", "rw"},
        MountLineCase{"a_line_cut_short", "26 1 254:0 / /", false, 0, 0, "", ""},
        MountLineCase{"no_separator", "26 1 254:0 / / rw ext4 disk0 rw", false, 0, 0, "", ""},
        MountLineCase{"a_device_that_is_not_a_number", "26 1 x:0 / / rw - ext4 disk0 rw", false, 0, 0, "", ""},
        MountLineCase{"a_device_without_a_colon", "26 1 2540 / / rw - ext4 disk0 rw", false, 0, 0, "", ""},
        MountLineCase{"a_device_without_its_major_number", "26 1 :5 / / rw - ext4 disk0 rw", false, 0, 0, "", ""},
        MountLineCase{"a_device_without_its_minor_number", "26 1 5: / / rw - ext4 disk0 rw", false, 0, 0, "", ""},
        MountLineCase{"an_empty_line", "", false, 0, 0, "", ""}),
    RowName<MountLineCase>);

} // namespace
} // namespace quellon::testing
