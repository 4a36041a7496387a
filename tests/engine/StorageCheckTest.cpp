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

struct DecisionCase {
    const char* name;
    StorageFacts facts;
    std::string refusal; // the words after the quoted path; empty: wiped as usual
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

const std::string kCow = ": overwriting cannot reach its old data";
const std::string kJournal = "): the journal keeps copies of old data that overwriting cannot reach";
const std::string kShared = "shares its blocks with another file (a reflinked copy or a snapshot): overwriting would "
                            "give it new blocks and leave the old data in the shared ones";

class StorageDecision : public ::testing::TestWithParam<DecisionCase> {};

TEST_P(StorageDecision, RefusesExactlyWhereAnOverwriteCannotReachTheOldData)
{
    auto why = WhyNotStoredData(GetParam().facts);
    if (!why)
        why = WhyOverwriteCannotReach(GetParam().facts);
    if (GetParam().refusal.empty())
        EXPECT_FALSE(why.has_value()) << *why;
    else
        EXPECT_EQ(why.value_or("(wiped)"), GetParam().refusal);
}

INSTANTIATE_TEST_SUITE_P(Facts, StorageDecision,
    ::testing::Values(DecisionCase{"btrfs_is_copy_on_write", mounted(0x9123683E, "btrfs"),
                          "is on a copy-on-write file system (btrfs)" + kCow},
        DecisionCase{
            "zfs_is_copy_on_write", mounted(0x2FC12FC1, "zfs"), "is on a copy-on-write file system (zfs)" + kCow},
        DecisionCase{"bcachefs_is_copy_on_write", mounted(0xCA451A4E, "bcachefs"),
            "is on a copy-on-write file system (bcachefs)" + kCow},
        DecisionCase{"a_copy_on_write_file_system_missing_from_the_mount_table_is_named_by_its_magic",
            mounted(0x9123683E, "", ""), "is on a copy-on-write file system (btrfs)" + kCow},
        DecisionCase{"nilfs2_is_log_structured", mounted(0x3434, "nilfs2"),
            "is on a log-structured file system (nilfs2)" + kCow},
        DecisionCase{
            "f2fs_is_log_structured", mounted(0xF2F52010, "f2fs"), "is on a log-structured file system (f2fs)" + kCow},
        DecisionCase{"nfs_keeps_the_data_on_another_machine", mounted(0x6969, "nfs4"),
            "is on a network file system (nfs4): its data is stored on another machine, out of reach of an "
            "overwrite"},
        DecisionCase{"smb_keeps_the_data_on_another_machine", mounted(0xFE534D42, "cifs"),
            "is on a network file system (cifs): its data is stored on another machine, out of reach of an "
            "overwrite"},
        DecisionCase{"sshfs_is_fuse", mounted(0x65735546, "fuse.sshfs"),
            "is on a FUSE file system (fuse.sshfs): the program behind it decides where its data is "
            "stored, so an overwrite cannot be shown to reach it"},
        DecisionCase{"ntfs_3g_on_a_local_disk_is_still_fuse", mounted(0x65735546, "fuseblk"),
            "is on a FUSE file system (fuseblk): the program behind it decides where its data is stored, "
            "so an overwrite cannot be shown to reach it"},
        DecisionCase{"overlay_may_keep_the_data_on_a_lower_layer", mounted(0x794C7630, "overlay"),
            "is on an overlay file system (overlay): its old data may sit on a lower layer that "
            "overwriting cannot reach"},
        DecisionCase{"ecryptfs_writes_through_to_a_file_system_out_of_sight", mounted(0xF15F, "ecryptfs"),
            "is on a stacked file system (ecryptfs): its data is stored on another file system, out of "
            "sight of an overwrite"},
        DecisionCase{"ext4_with_ordered_data_is_wiped", mounted(kExt, "ext4", "rw,relatime,data=ordered"), ""},
        DecisionCase{"ext4_with_writeback_data_is_wiped", mounted(kExt, "ext4", "rw,relatime,data=writeback"), ""},
        DecisionCase{"ext4_with_journalled_data_is_refused", mounted(kExt, "ext4", "rw,relatime,data=journal"),
            "is on a file system that journals file data (ext4, data=journal" + kJournal},
        DecisionCase{"ext3_with_journalled_data_is_refused", mounted(kExt, "ext3", "rw,data=journal,errors=continue"),
            "is on a file system that journals file data (ext3, data=journal" + kJournal},
        DecisionCase{"journalled_data_named_only_in_ext4s_own_option_list_is_refused",
            mounted(kExt, "ext4", "rw,nodelalloc,rw,bsddf,nodelalloc,data=journal,barrier"),
            "is on a file system that journals file data (ext4, data=journal" + kJournal},
        DecisionCase{"journal_checksums_are_not_journalled_data",
            mounted(kExt, "ext4", "rw,journal_checksum,journal_async_commit"), ""},
        DecisionCase{"xfs_is_wiped", mounted(kXfs, "xfs", "rw,inode64,logbufs=8"), ""},
        DecisionCase{
            "a_proc_file_is_a_kernel_interface", mounted(0x9FA0, ""), "is a kernel interface (proc), not stored data"},
        DecisionCase{"a_debugfs_file_is_a_kernel_interface", mounted(0x64626720, "debugfs"),
            "is a kernel interface (debugfs), not stored data"},
        DecisionCase{"tmpfs_is_wiped", mounted(kTmpfs, "tmpfs", "rw,size=16384k"), ""},
        DecisionCase{"vfat_is_wiped", mounted(0x4D44, "vfat"), ""},
        DecisionCase{"exfat_is_wiped", mounted(0x2011BAB0, "exfat"), ""},
        DecisionCase{"an_unlisted_local_file_system_is_wiped", mounted(0x7366746E, "ntfs3"), ""},
        DecisionCase{"a_reflinked_file_on_xfs_is_refused", withShared(mounted(kXfs, "xfs")), kShared},
        DecisionCase{"a_file_with_inline_data_on_ext4_is_refused", withInline(mounted(kExt, "ext4")),
            "keeps its data inside the file system's metadata (inline data): copies of it stay where "
            "overwriting cannot reach, such as the journal"},
        DecisionCase{"the_journal_data_attribute_without_delayed_allocation_is_refused",
            withJournalAttribute(mounted(kExt, "ext4", "rw,nodelalloc")),
            "has the journal-data attribute (chattr +j): the journal keeps copies of its old data that "
            "overwriting cannot reach"},
        DecisionCase{"the_journal_data_attribute_with_unknown_options_is_refused",
            withJournalAttribute(mounted(kExt, "", "")),
            "has the journal-data attribute (chattr +j): the journal keeps copies of its old data that "
            "overwriting cannot reach"},
        DecisionCase{"the_journal_data_attribute_is_ignored_by_ext4_under_delayed_allocation",
            withJournalAttribute(mounted(kExt, "ext4", "rw,relatime,rw,delalloc,barrier")), ""},
        DecisionCase{"the_file_system_refusal_comes_before_the_per_file_rules",
            withShared(mounted(0x9123683E, "btrfs")), "is on a copy-on-write file system (btrfs)" + kCow}),
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
        MountLineCase{"an_empty_line", "", false, 0, 0, "", ""}),
    RowName<MountLineCase>);

} // namespace
} // namespace quellon::testing
