// SPDX-License-Identifier: GPL-3.0-or-later

// The error report's text, byte for byte, and the box it is shown in; and the words of every reason
// a wipe stops for, each pinned once here (the other tests assert the reason).

#include "ErrorReport.h"
#include "RecordingMessageBox.h"
#include "Rows.h"
#include "Words.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace quellon {
namespace {

using testing::PrintTo;
using testing::RowName;

struct ReportCase {
    const char* name;
    ErrorInfo error;
    std::string expected;
};

const std::string kTail = "\r\n\r\n\tSend the error information above to be at support@quellon.example";

class ErrorReportText_ : public ::testing::TestWithParam<ReportCase> {};

TEST_P(ErrorReportText_, IsByteForByte)
{
    EXPECT_EQ(ErrorReportText(GetParam().error), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Reports, ErrorReportText_,
    ::testing::Values(ReportCase{"a_typical_failure", {53, "File not found", "FileRipper"},
                          "Error description: File not found\r\nError Source: FileRipper\r\nError Number: 53" + kTail},
        ReportCase{"empty_description_and_source_keep_the_labels_space", {0, "", ""},
            "Error description: \r\nError Source: \r\nError Number: 0" + kTail},
        ReportCase{"a_negative_number_keeps_its_minus_sign", {-2147483647 - 1, "x", "y"},
            "Error description: x\r\nError Source: y\r\nError Number: -2147483648" + kTail},
        ReportCase{"line_ends_inside_the_description_pass_through", {5, "first\r\nsecond\n", "a\tb"},
            "Error description: first\r\nsecond\n\r\nError Source: a\tb\r\nError Number: 5" + kTail}),
    RowName<ReportCase>);

struct WordsCase {
    const char* name;
    StopReason reason;
    int number;
    std::string description; // of the report for the path P
};

class Words : public ::testing::TestWithParam<WordsCase> {};

TEST_P(Words, AreByteForByte)
{
    const ErrorInfo report = ReportFor(GetParam().reason, "P");
    EXPECT_EQ(report.Number, GetParam().number);
    EXPECT_EQ(report.Description, GetParam().description);
    EXPECT_EQ(report.Source, "FileRipper");
}

const std::string kNotWiped = ", so it was not wiped.";
const std::string kSeeWhatItRefuses = kNotWiped + " See WHAT IT REFUSES in `man quellon`.";
const std::string kStopped =
    ", so the wipe stopped and the file was not deleted. Its old content may remain, for example in free space.";
const std::string kOverwritten = ". Its content was already overwritten 44 times; ";
// A stop in or after a pass, once the first pass was flushed over the file's own blocks.
std::string overwritten(const std::string& count)
{
    return ", so the wipe stopped and the file was not deleted. Its content was already overwritten " + count +
        "; the file is left in place.";
}

StopReason outOfReach(Reach reach, std::string name = "")
{
    return StopReason{.stop = Stop::OutOfReach, .reach = reach, .name = std::move(name)};
}

// `call` failed with `err` after the passes, leaving `left` (named `name`).
StopReason afterPasses(Call call, int err, Left left, std::string name = "")
{
    return StopReason{.stop = Stop::CallFailed,
        .call = call,
        .err = err,
        .when = When::after(),
        .left = left,
        .name = std::move(name)};
}

INSTANTIATE_TEST_SUITE_P(Reasons, Words,
    ::testing::Values(
        WordsCase{"missing", {.stop = Stop::Missing}, ENOENT,
            "\"P\" does not exist, so nothing was wiped. It may have been renamed, moved or wiped already."},
        WordsCase{"link_to_nothing", {.stop = Stop::LinkToMissing, .name = "nowhere"}, ENOENT,
            "\"P\" is a link to \"nowhere\" which does not exist, so nothing was wiped."},
        WordsCase{"folder", {.stop = Stop::Folder}, EISDIR,
            "\"P\" is a folder, so it was not wiped. To wipe the files in it, add them to the list one by one."},
        WordsCase{"link_to_a_folder", {.stop = Stop::LinkToFolder, .name = "/srv/d"}, EISDIR,
            "\"P\" is a link to the folder \"/srv/d\", so it was not wiped. To wipe the files in it, add them to the "
            "list one by one."},
        WordsCase{"link_to_a_device", {.stop = Stop::LinkToNonRegular, .name = "/dev/null"}, EINVAL,
            "\"P\" is a link to \"/dev/null\", which is not a regular file" + kNotWiped},
        WordsCase{"link_not_followed", {.stop = Stop::LinkNotFollowed}, EACCES,
            "\"P\" is a link that belongs to another user in a shared folder, and Linux does not let it be followed" +
                kNotWiped},
        WordsCase{"not_a_regular_file", {.stop = Stop::NotRegular}, EINVAL, "\"P\" is not a regular file" + kNotWiped},
        WordsCase{"kernel_interface", {.stop = Stop::KernelInterface, .name = "sysfs"}, EINVAL,
            "\"P\" is a kernel interface (sysfs), not stored data" + kNotWiped},
        WordsCase{"copy_on_write", outOfReach(Reach::CopyOnWrite, "btrfs"), EOPNOTSUPP,
            "\"P\" is on a copy-on-write file system (btrfs): overwriting cannot reach its old data" +
                kSeeWhatItRefuses},
        WordsCase{"log_structured", outOfReach(Reach::LogStructured, "f2fs"), EOPNOTSUPP,
            "\"P\" is on a log-structured file system (f2fs): overwriting cannot reach its old data" +
                kSeeWhatItRefuses},
        WordsCase{"network", outOfReach(Reach::Network, "nfs4"), EOPNOTSUPP,
            "\"P\" is on a network file system (nfs4): its data is stored on another machine, out of reach of an "
            "overwrite" +
                kSeeWhatItRefuses},
        WordsCase{"fuse", outOfReach(Reach::Fuse, "fuse.sshfs"), EOPNOTSUPP,
            "\"P\" is on a FUSE file system (fuse.sshfs): the program behind it decides where its data is stored, so "
            "an overwrite cannot be shown to reach it" +
                kSeeWhatItRefuses},
        WordsCase{"overlay", outOfReach(Reach::Overlay, "overlay"), EOPNOTSUPP,
            "\"P\" is on an overlay file system (overlay): its old data may sit on a lower layer that overwriting "
            "cannot reach" +
                kSeeWhatItRefuses},
        WordsCase{"stacked", outOfReach(Reach::Stacked, "ecryptfs"), EOPNOTSUPP,
            "\"P\" is on a stacked file system (ecryptfs): its data is stored on another file system, out of sight of "
            "an overwrite" +
                kSeeWhatItRefuses},
        WordsCase{"journalled_data", outOfReach(Reach::JournalledData, "ext4"), EOPNOTSUPP,
            "\"P\" is on a file system that journals file data (ext4, data=journal): the journal keeps copies of old "
            "data that overwriting cannot reach" +
                kSeeWhatItRefuses},
        WordsCase{"journalled_data_of_an_unnamed_file_system", outOfReach(Reach::JournalledData), EOPNOTSUPP,
            "\"P\" is on a file system that journals file data (data=journal): the journal keeps copies of old data "
            "that overwriting cannot reach" +
                kSeeWhatItRefuses},
        WordsCase{"journal_data_attribute", outOfReach(Reach::JournalAttribute), EOPNOTSUPP,
            "\"P\" has the journal-data attribute (chattr +j): the journal keeps copies of its old data that "
            "overwriting cannot reach" +
                kSeeWhatItRefuses},
        WordsCase{"inline_data", outOfReach(Reach::InlineData), EOPNOTSUPP,
            "\"P\" keeps its data inside the file system's metadata (inline data): copies of it stay where "
            "overwriting cannot reach, such as the journal" +
                kSeeWhatItRefuses},
        WordsCase{"shared_extents", outOfReach(Reach::SharedExtents), EOPNOTSUPP,
            "\"P\" shares its blocks with another file (a reflinked copy or a snapshot): overwriting would give it "
            "new blocks and leave the old data in the shared ones" +
                kSeeWhatItRefuses},
        WordsCase{"mount_point", {.stop = Stop::MountPoint}, EBUSY,
            "\"P\" is a mount point: what is seen under its name is the content of what is mounted there, and wiping "
            "it would destroy that content at its source" +
                kNotWiped},
        WordsCase{"one_other_name", {.stop = Stop::HardLinks, .found = 1}, EMLINK,
            "\"P\" has 1 other name (hard link) sharing its content: wiping it would destroy that content under the "
            "other name too" +
                kNotWiped},
        WordsCase{"two_other_names", {.stop = Stop::HardLinks, .found = 2}, EMLINK,
            "\"P\" has 2 other names (hard links) sharing its content: wiping it would destroy that content under the "
            "other names too" +
                kNotWiped},
        WordsCase{"read_only", {.stop = Stop::ReadOnly}, EACCES,
            "\"P\" is read-only" + kNotWiped + " Make it writable first if you mean to wipe it."},
        WordsCase{"not_writable_for_this_user", {.stop = Stop::ReadOnly, .found = 1}, EACCES,
            "\"P\" is a file you may not write to" + kNotWiped +
                " Make it writable for you first if you mean to wipe it."},
        WordsCase{"in_use_before_the_first_pass", {.stop = Stop::InUse}, EBUSY,
            "\"P\" is open in another program" + kNotWiped + " Close it in the other program and wipe it again."},
        WordsCase{"in_use_before_pass_5", {.stop = Stop::InUse, .when = When::inPass(5)}, EBUSY,
            "\"P\" is open in another program, so the wipe stopped before pass 5 of 44 and the file was not deleted. "
            "Close it in the other program and wipe it again. Its content was already overwritten 4 times; the file "
            "is left in place."},
        WordsCase{"holes_that_cannot_fit", {.stop = Stop::NoSpaceForHoles, .expected = 1040384, .found = 0}, ENOSPC,
            "\"P\" needs 1040384 bytes more disk space to be overwritten (a sparse file's holes get blocks of their "
            "own), but only 0 bytes are free on its file system" +
                kNotWiped},
        WordsCase{"too_large", {.stop = Stop::TooLarge}, EFBIG, "\"P\" is too large to wipe."},
        WordsCase{"changed_as_the_wipe_began", {.stop = Stop::ChangedAtStart}, ESTALE,
            "\"P\" was changed by another program as the wipe began, so nothing was written and the file was not "
            "deleted. Its old content may remain, for example in free space. Wipe it again when the other program "
            "is done with it."},
        WordsCase{"in_use_as_quellons_own_standard_input", {.stop = Stop::InUse, .name = "standard input"}, EBUSY,
            "\"P\" is open in Quellon itself, as its standard input" + kNotWiped},
        WordsCase{"renamed_moved_or_deleted_as_the_wipe_began", {.stop = Stop::Moved}, ENOENT,
            "\"P\" was renamed, moved or deleted as the wipe began, so nothing was wiped."},
        WordsCase{"renamed_moved_or_deleted_before_the_delete",
            {.stop = Stop::MovedBeforeDelete, .when = When::after(), .left = Left::NotUnderName}, ENOENT,
            "\"P\" was renamed, moved or deleted by another program during the wipe; the wipe stopped before it was "
            "deleted; nothing was deleted" +
                kOverwritten + "it is no longer under its name, 2 bytes long (CR LF)."},
        WordsCase{"link_replaced_before_its_removal", {.stop = Stop::LinkReplaced, .when = When::after(), .name = "/t"},
            ESTALE,
            "\"P\" was replaced by another file before the link could be removed; the file it led to, \"/t\", was "
            "wiped and deleted, and the file now under the link's name was left alone."},
        WordsCase{"link_replaced_before_its_removal_then_stranded",
            {.stop = Stop::LinkReplaced, .when = When::after(), .name = ".q-3", .found = 1}, ESTALE,
            "\"P\" was replaced by another file before the link could be removed; the file it led to was wiped and "
            "deleted, and the file now under the link's name could not get it back and is left in its folder as "
            "\".q-3\"."},
        WordsCase{"replaced", {.stop = Stop::Replaced}, ESTALE,
            "\"P\" was replaced by another file during the wipe; the wipe stopped."},
        WordsCase{"replaced_before_the_delete",
            {.stop = Stop::ReplacedBeforeDelete, .when = When::after(), .left = Left::NotUnderName}, ESTALE,
            "\"P\" was replaced by another file during the wipe; the wipe stopped before it was deleted; nothing was "
            "deleted" +
                kOverwritten + "it is no longer under its name, 2 bytes long (CR LF)."},
        WordsCase{"replaced_before_the_delete_by_a_file_then_stranded",
            {.stop = Stop::ReplacedBeforeDelete, .when = When::after(), .left = Left::NotUnderName, .name = ".q-1"},
            ESTALE,
            "\"P\" was replaced by another file during the wipe; the wipe stopped before it was deleted; nothing was "
            "deleted (the file now under its name was moved to \".q-1\" in the same folder)" +
                kOverwritten + "it is no longer under its name, 2 bytes long (CR LF)."},
        WordsCase{"lengthened_in_pass_6",
            {.stop = Stop::Resized, .when = When::inPass(6), .expected = 8192, .found = 8200}, ESTALE,
            "\"P\" was lengthened from 8192 to 8200 bytes by another program during the wipe (pass 6 of 44)" +
                overwritten("5 times")},
        WordsCase{"shortened_after_the_read_back",
            {.stop = Stop::Resized, .when = {When::Stage::LastPassReadBack}, .expected = 8192, .found = 10}, ESTALE,
            "\"P\" was shortened from 8192 to 10 bytes by another program during the wipe (seen after the last pass "
            "was read back)" +
                overwritten("44 times")},
        WordsCase{"blocks_moved_after_the_last_pass",
            {.stop = Stop::BlocksMoved, .when = {When::Stage::LastPassWritten}}, ESTALE,
            "\"P\" had its blocks freed or moved by another program during the wipe (seen after the last pass), so "
            "the wipe stopped and the file was not deleted. Its old blocks were overwritten at least once before "
            "they were moved; the file is left in place."},
        WordsCase{"opened_for_writing", {.stop = Stop::OpenedForWriting, .when = When::inPass(44)}, EBUSY,
            "\"P\" was opened for writing or truncated by another program during the wipe (pass 44 of 44)" +
                overwritten("43 times") + " Close it in the other program and wipe it again."},
        WordsCase{"read_back_differs", {.stop = Stop::ReadBackDiffers, .found = 4096}, EIO,
            "\"P\" did not read back as the last pass wrote it (first difference at byte 4096), so it was not "
            "deleted."},
        WordsCase{"read_back_short", {.stop = Stop::ReadBackShort, .expected = 8192, .found = 100}, EIO,
            "\"P\" read back shorter than the last pass wrote it (100 of 8192 bytes), so it was not deleted."},
        WordsCase{"attributes_before_the_delete", afterPasses(Call::ReadAttributes, EIO, Left::InPlace), EIO,
            "Cannot read the attributes of \"P\": Input/output error" + kOverwritten +
                "the file is left in place, 2 bytes long (CR LF)."},
        WordsCase{"folder_attributes", Failed(Call::ReadFolderAttributes, EACCES), EACCES,
            "Cannot read the attributes of the folder of \"P\": Permission denied."},
        WordsCase{"open", Failed(Call::Open, EACCES), EACCES, "Cannot open \"P\": Permission denied."},
        WordsCase{"follow_the_link", Failed(Call::FollowLink, ELOOP), ELOOP,
            "Cannot follow the link \"P\": Too many levels of symbolic links."},
        WordsCase{"open_the_folder", Failed(Call::OpenFolder, EMFILE), EMFILE,
            "Cannot open the folder of \"P\": Too many open files."},
        WordsCase{"open_for_pass_5", Failed(Call::OpenForWriting, EMFILE, When::inPass(5)), EMFILE,
            "Cannot open \"P\" for writing (pass 5 of 44): Too many open files. Its content was already overwritten 4 "
            "times; the file is left in place."},
        WordsCase{"open_without_proc", Failed(Call::OpenForWriting, ENOSYS), ENOSYS,
            "Cannot open \"P\" for writing: /proc is not mounted, and Quellon opens the file it holds through "
            "/proc/self/fd."},
        WordsCase{"file_system", Failed(Call::ReadFileSystem, EIO), EIO,
            "Cannot read the file system of \"P\": Input/output error."},
        WordsCase{"mount_options", Failed(Call::ReadMountOptions, EACCES), EACCES,
            "Cannot read the mount options of \"P\": Permission denied."},
        WordsCase{"attribute_flags", Failed(Call::ReadAttributeFlags, EIO), EIO,
            "Cannot read the attribute flags of \"P\": Input/output error."},
        WordsCase{"block_map_after_pass_1", Failed(Call::ReadBlockMap, EIO, When::inPass(1)), EIO,
            "Cannot read the block map of \"P\" (pass 1 of 44): Input/output error. Its content was already "
            "overwritten once; the file is left in place."},
        WordsCase{"lease", Failed(Call::CheckInUse, ENOLCK), ENOLCK,
            "Cannot check whether \"P\" is open in another program: No locks available."},
        WordsCase{"memory", Failed(Call::AllocateBuffer, ENOMEM), ENOMEM, "Cannot wipe \"P\": Cannot allocate memory."},
        WordsCase{"write", Failed(Call::Write, ENOSPC, When::inPass(17)), ENOSPC,
            "Cannot write to \"P\" (pass 17 of 44): No space left on device. Its content was already overwritten 16 "
            "times; the file is left in place."},
        WordsCase{"write_in_the_first_pass", Failed(Call::Write, ENOSPC, When::inPass(1)), ENOSPC,
            "Cannot write to \"P\" (pass 1 of 44): No space left on device. Not one pass was done whole; the file is "
            "left in place."},
        WordsCase{"flush_after_the_cut", afterPasses(Call::Flush, EIO, Left::CutNotOnDisk), EIO,
            "Cannot flush \"P\" to the disk: Input/output error" + kOverwritten +
                "the file is left in place, cut to 2 bytes that may not have reached the disk."},
        WordsCase{"read_back", afterPasses(Call::ReadBack, EIO, Left::FullLengthNotReadBack), EIO,
            "Cannot read \"P\" back to check the overwrite: Input/output error" + kOverwritten +
                "the file is left in place at its full length (it was not read back)."},
        WordsCase{"truncate", afterPasses(Call::Truncate, EPERM, Left::FullLength), EPERM,
            "Cannot truncate \"P\": Operation not permitted" + kOverwritten +
                "the file is left in place at its full length."},
        WordsCase{"close", Failed(Call::Close, EIO, When::inPass(12)), EIO,
            "Cannot close \"P\" (pass 12 of 44): Input/output error. Its content was already overwritten 12 times; "
            "the file is left in place."},
        WordsCase{"delete_with_the_file_stranded", afterPasses(Call::Delete, EACCES, Left::InFolderAs, ".q-2"), EACCES,
            "Cannot delete \"P\": Permission denied" + kOverwritten +
                "the file is left in its folder as \".q-2\", 2 bytes long (CR LF)."},
        WordsCase{"folder_flush", afterPasses(Call::FlushFolder, EIO, Left::Unsaid), EIO,
            "Cannot flush the folder of \"P\" to the disk: Input/output error. The file was overwritten 44 times and "
            "deleted; the delete may not have reached the disk."},
        WordsCase{"link_after_its_file", afterPasses(Call::DeleteLink, EACCES, Left::Unsaid, "/srv/t"), EACCES,
            "Cannot delete the link \"P\" after its file \"/srv/t\" was wiped and deleted: Permission denied."}),
    RowName<WordsCase>);

TEST(ShowErrorReport, ShowsOneErrorBoxTitledError)
{
    testing::RecordingMessageBox box;
    const ErrorInfo error{13, "Cannot open \"x\" for writing: Permission denied", "FileRipper"};
    ShowErrorReport(box, error);
    ASSERT_EQ(box.shown.size(), 1u);
    EXPECT_EQ(box.shown[0].title, "ERROR");
    EXPECT_EQ(box.shown[0].flags, MB_ICONERROR);
    EXPECT_EQ(box.shown[0].prompt, ErrorReportText(error));
}

} // namespace
} // namespace quellon
