// SPDX-License-Identifier: GPL-3.0-or-later

// The words of every report the engine shows: a reason for stopping, and the path, make one
// sentence or a few. A refusal says why and that nothing was wiped; a change by another program
// says what changed and what may be left; a failed call names the call, the OS's words for its
// errno, and what is left of the file when it failed after the passes.

#include "Words.h"

#include "Passes.h"

#include <cerrno>
#include <cstring>
#include <utility>

namespace quellon {
namespace {

// What to do about a refusal, where there is one thing to do.
constexpr const char* kCloseItFirst = " Close it in the other program and wipe it again.";
constexpr const char* kMakeItWritable = " Make it writable first if you mean to wipe it.";
constexpr const char* kMakeItWritableForYou = " Make it writable for you first if you mean to wipe it.";
constexpr const char* kSeeWhatItRefuses = " See WHAT IT REFUSES in `man quellon`.";
constexpr const char* kAddTheFilesInIt = " To wipe the files in it, add them to the list one by one.";
constexpr const char* kOldContentMayRemain = " Its old content may remain, for example in free space.";

std::string quoted(const std::string& path)
{
    return "\"" + path + "\"";
}

std::string number(std::uint64_t value)
{
    return std::to_string(value);
}

// " (pass 5 of 44)", " (after the last pass)": when a report's failure happened, where it says.
std::string whenText(const When& when)
{
    switch (when.stage) {
    case When::Stage::Pass: return " (pass " + number(when.pass) + " of " + number(kPasses) + ")";
    case When::Stage::LastPassWritten: return " (seen after the last pass)";
    case When::Stage::LastPassReadBack: return " (seen after the last pass was read back)";
    case When::Stage::Before:
    case When::Stage::After: break;
    }
    return "";
}

// How often the file's content was overwritten whole and flushed before the wipe stopped at `when`
// (a failed close comes after its pass was flushed, so that pass counts).
int passesDone(const When& when, bool passFlushed = false)
{
    switch (when.stage) {
    case When::Stage::Pass: return passFlushed ? when.pass : when.pass - 1;
    case When::Stage::LastPassWritten:
    case When::Stage::LastPassReadBack: return kPasses;
    case When::Stage::Before:
    case When::Stage::After: break;
    }
    return 0;
}

// " once", " 5 times".
std::string times(int count)
{
    return count == 1 ? " once" : " " + number(static_cast<std::uint64_t>(count)) + " times";
}

// What is left of a file whose wipe stopped in or after a pass, before the passes were all done:
// the file in place, and how often its content was overwritten by then.
std::string leftInPass(const When& when, bool passFlushed = false)
{
    const int done = passesDone(when, passFlushed);
    if (done == 0)
        return kOldContentMayRemain;
    return " Its content was already overwritten" + times(done) + "; the file is left in place.";
}

// What is left of a file whose wipe failed after the passes, as the report's last sentence.
std::string leftText(const StopReason& reason)
{
    std::string left;
    switch (reason.left) {
    case Left::Unsaid: return "";
    case Left::FullLengthNotReadBack:
        left = "the file is left in place at its full length (it was not read back)";
        break;
    case Left::FullLength: left = "the file is left in place at its full length"; break;
    case Left::CutNotOnDisk:
        left = "the file is left in place, cut to 2 bytes that may not have reached the disk";
        break;
    case Left::InPlace: left = "the file is left in place, 2 bytes long (CR LF)"; break;
    case Left::InFolderAs:
        left = "the file is left in its folder as " + quoted(reason.name) + ", 2 bytes long (CR LF)";
        break;
    case Left::NotUnderName: left = "it is no longer under its name, 2 bytes long (CR LF)"; break;
    }
    return ". Its content was already overwritten " + number(kPasses) + " times; " + left;
}

// The words that follow the path for storage an overwrite cannot reach; `name` is its file system.
std::string outOfReach(Reach reach, const std::string& name)
{
    switch (reach) {
    case Reach::CopyOnWrite:
        return "is on a copy-on-write file system (" + name + "): overwriting cannot reach its old data";
    case Reach::LogStructured:
        return "is on a log-structured file system (" + name + "): overwriting cannot reach its old data";
    case Reach::Network:
        return "is on a network file system (" + name +
            "): its data is stored on another machine, out of reach of an overwrite";
    case Reach::Fuse:
        return "is on a FUSE file system (" + name +
            "): the program behind it decides where its data is stored, so an overwrite cannot be shown to reach it";
    case Reach::Overlay:
        return "is on an overlay file system (" + name +
            "): its old data may sit on a lower layer that overwriting cannot reach";
    case Reach::Stacked:
        return "is on a stacked file system (" + name +
            "): its data is stored on another file system, out of sight of an overwrite";
    case Reach::JournalledData:
        return "is on a file system that journals file data (" +
            (name.empty() ? "data=journal" : name + ", data=journal") +
            "): the journal keeps copies of old data that overwriting cannot reach";
    case Reach::JournalAttribute:
        return "has the journal-data attribute (chattr +j): the journal keeps copies of its old data that overwriting "
               "cannot reach";
    case Reach::InlineData:
        return "keeps its data inside the file system's metadata (inline data): copies of it stay where overwriting "
               "cannot reach, such as the journal";
    case Reach::SharedExtents:
        return "shares its blocks with another file (a reflinked copy or a snapshot): overwriting would give it new "
               "blocks and leave the old data in the shared ones";
    }
    return "";
}

// What a failed call was doing, before the OS's words for its errno.
std::string callText(const StopReason& reason, const std::string& p)
{
    switch (reason.call) {
    case Call::None: break;
    case Call::ReadAttributes: return "Cannot read the attributes of " + p;
    case Call::ReadFolderAttributes: return "Cannot read the attributes of the folder of " + p;
    case Call::Open: return "Cannot open " + p;
    case Call::FollowLink: return "Cannot follow the link " + p;
    case Call::OpenFolder: return "Cannot open the folder of " + p;
    case Call::OpenForWriting: return "Cannot open " + p + " for writing";
    case Call::ReadFileSystem: return "Cannot read the file system of " + p;
    case Call::ReadMountOptions: return "Cannot read the mount options of " + p;
    case Call::ReadAttributeFlags: return "Cannot read the attribute flags of " + p;
    case Call::ReadBlockMap: return "Cannot read the block map of " + p;
    case Call::CheckInUse: return "Cannot check whether " + p + " is open in another program";
    case Call::AllocateBuffer: return "Cannot wipe " + p;
    case Call::Write: return "Cannot write to " + p;
    case Call::Flush: return "Cannot flush " + p + " to the disk";
    case Call::ReadBack: return "Cannot read " + p + " back to check the overwrite";
    case Call::Truncate: return "Cannot truncate " + p;
    case Call::Close: return "Cannot close " + p;
    case Call::Delete: return "Cannot delete " + p;
    case Call::FlushFolder: return "Cannot flush the folder of " + p + " to the disk";
    case Call::DeleteLink:
        return "Cannot delete the link " + p + " after its file " + quoted(reason.name) + " was wiped and deleted";
    }
    return "Cannot wipe " + p;
}

// A failed call: what it was doing, when, the OS's words, and what is left of the file.
std::string failedCall(const StopReason& reason, const std::string& p)
{
    std::string out = callText(reason, p) + whenText(reason.when);
    if (reason.call == Call::OpenForWriting && reason.err == ENOSYS)
        return out + ": /proc is not mounted, and Quellon opens the file it holds through /proc/self/fd";
    char buffer[256];
    // GNU strerror_r: returns the message, which may or may not be in `buffer`.
    out += std::string(": ") + ::strerror_r(reason.err, buffer, sizeof buffer);
    if (reason.call == Call::FlushFolder)
        out += ". The file was overwritten " + number(kPasses) +
            " times and deleted; the delete may not have reached the disk";
    // A pass's close and the look at its blocks come after the pass was flushed.
    const bool flushedFirst = reason.call == Call::Close || reason.call == Call::ReadBlockMap;
    if (reason.when.stage == When::Stage::Pass && passesDone(reason.when, flushedFirst) == 0)
        return out + ". Not one pass was done whole; the file is left in place.";
    if (reason.when.stage == When::Stage::Pass)
        return out + "." + leftInPass(reason.when, flushedFirst);
    return out + leftText(reason);
}

// The words after the path of a file that was not touched, before ", so it was not wiped."
std::string refusalText(const StopReason& reason)
{
    switch (reason.stop) {
    case Stop::Folder: return "is a folder";
    case Stop::LinkToFolder: return "is a link to the folder " + quoted(reason.name);
    case Stop::LinkToNonRegular: return "is a link to " + quoted(reason.name) + ", which is not a regular file";
    case Stop::LinkNotFollowed:
        return "is a link that belongs to another user in a shared folder, and Linux does not let it be followed";
    case Stop::NotRegular: return "is not a regular file";
    case Stop::KernelInterface: return "is a kernel interface (" + reason.name + "), not stored data";
    case Stop::OutOfReach: return outOfReach(reason.reach, reason.name);
    case Stop::MountPoint:
        return "is a mount point: what is seen under its name is the content of what is mounted there, and "
               "wiping it would destroy that content at its source";
    case Stop::HardLinks: {
        const bool one = reason.found == 1;
        return "has " + number(reason.found) + (one ? " other name (hard link)" : " other names (hard links)") +
            " sharing its content: wiping it would destroy that content under " +
            (one ? "the other name" : "the other names") + " too";
    }
    case Stop::ReadOnly: return reason.found == 1 ? "is a file you may not write to" : "is read-only";
    case Stop::InUse:
        return reason.name.empty() ? "is open in another program" : "is open in Quellon itself, as its " + reason.name;
    case Stop::NoSpaceForHoles:
        return "needs " + number(reason.expected) +
            " bytes more disk space to be overwritten (a sparse file's holes get blocks of their own), but only " +
            number(reason.found) + " bytes are free on its file system";
    // Not refusals: worded by description().
    case Stop::Missing:
    case Stop::LinkToMissing:
    case Stop::TooLarge:
    case Stop::ChangedAtStart:
    case Stop::Moved:
    case Stop::Replaced:
    case Stop::MovedBeforeDelete:
    case Stop::ReplacedBeforeDelete:
    case Stop::LinkReplaced:
    case Stop::Resized:
    case Stop::BlocksMoved:
    case Stop::OpenedForWriting:
    case Stop::ReadBackDiffers:
    case Stop::ReadBackShort:
    case Stop::CallFailed: break;
    }
    return "";
}

// What to do about a refusal, where there is one thing to do.
const char* refusalAdvice(const StopReason& reason)
{
    switch (reason.stop) {
    case Stop::Folder:
    case Stop::LinkToFolder: return kAddTheFilesInIt;
    case Stop::OutOfReach: return kSeeWhatItRefuses;
    case Stop::ReadOnly: return reason.found == 1 ? kMakeItWritableForYou : kMakeItWritable;
    case Stop::InUse: return kCloseItFirst;
    case Stop::Missing:
    case Stop::LinkToMissing:
    case Stop::LinkToNonRegular:
    case Stop::LinkNotFollowed:
    case Stop::NotRegular:
    case Stop::KernelInterface:
    case Stop::MountPoint:
    case Stop::HardLinks:
    case Stop::NoSpaceForHoles:
    case Stop::TooLarge:
    case Stop::ChangedAtStart:
    case Stop::Moved:
    case Stop::Replaced:
    case Stop::MovedBeforeDelete:
    case Stop::ReplacedBeforeDelete:
    case Stop::LinkReplaced:
    case Stop::Resized:
    case Stop::BlocksMoved:
    case Stop::OpenedForWriting:
    case Stop::ReadBackDiffers:
    case Stop::ReadBackShort:
    case Stop::CallFailed: break;
    }
    return "";
}

// A file that was not touched: the path, why, and what to do about it.
std::string refusal(const StopReason& reason, const std::string& p)
{
    return p + " " + refusalText(reason) + ", so it was not wiped." + refusalAdvice(reason);
}

// The report's error number for a reason that is not a failed call.
int numberFor(Stop stop)
{
    switch (stop) {
    case Stop::Missing:
    case Stop::LinkToMissing:
    case Stop::Moved:
    case Stop::MovedBeforeDelete: return ENOENT;
    case Stop::Folder:
    case Stop::LinkToFolder: return EISDIR;
    case Stop::LinkToNonRegular:
    case Stop::NotRegular:
    case Stop::KernelInterface: return EINVAL;
    case Stop::LinkNotFollowed:
    case Stop::ReadOnly: return EACCES;
    case Stop::OutOfReach: return EOPNOTSUPP;
    case Stop::MountPoint:
    case Stop::InUse:
    case Stop::OpenedForWriting: return EBUSY;
    case Stop::HardLinks: return EMLINK;
    case Stop::NoSpaceForHoles: return ENOSPC;
    case Stop::TooLarge: return EFBIG;
    case Stop::ChangedAtStart:
    case Stop::Replaced:
    case Stop::ReplacedBeforeDelete:
    case Stop::LinkReplaced:
    case Stop::Resized:
    case Stop::BlocksMoved: return ESTALE;
    case Stop::ReadBackDiffers:
    case Stop::ReadBackShort: return EIO;
    case Stop::CallFailed: break;
    }
    return 0;
}

// The file's name that another program changed during the wipe (Moved, Replaced and their kinds
// at the delete, LinkReplaced).
std::string nameChangedText(const StopReason& reason, const std::string& p)
{
    if (reason.stop == Stop::Moved)
        return p + " was renamed, moved or deleted as the wipe began, so nothing was wiped.";
    if (reason.stop == Stop::Replaced)
        return p + " was replaced by another file during the wipe; the wipe stopped";
    if (reason.stop == Stop::MovedBeforeDelete)
        return p +
            " was renamed, moved or deleted by another program during the wipe; the wipe stopped before it was "
            "deleted; nothing was deleted" +
            leftText(reason);
    if (reason.stop == Stop::LinkReplaced && reason.found == 1)
        return p +
            " was replaced by another file before the link could be removed; the file it led to was wiped and "
            "deleted, and the file now under the link's name could not get it back and is left in its folder as " +
            quoted(reason.name) + ".";
    if (reason.stop == Stop::LinkReplaced)
        return p + " was replaced by another file before the link could be removed; the file it led to, " +
            quoted(reason.name) + ", was wiped and deleted, and the file now under the link's name was left alone.";
    return p +
        " was replaced by another file during the wipe; the wipe stopped before it was deleted; nothing was "
        "deleted" +
        (reason.name.empty()
                ? ""
                : " (the file now under its name was moved to " + quoted(reason.name) + " in the same folder)") +
        leftText(reason);
}

// The file's content or blocks that another program changed during the wipe (ChangedAtStart,
// Resized, BlocksMoved, OpenedForWriting).
std::string contentChangedText(const StopReason& reason, const std::string& p)
{
    const std::string when = whenText(reason.when);
    const std::string stopped = ", so the wipe stopped and the file was not deleted.";
    if (reason.stop == Stop::ChangedAtStart)
        return p +
            " was changed by another program as the wipe began, so nothing was written and the file was not deleted." +
            kOldContentMayRemain + " Wipe it again when the other program is done with it.";
    if (reason.stop == Stop::Resized)
        return p + " was " + (reason.found > reason.expected ? "lengthened" : "shortened") + " from " +
            number(reason.expected) + " to " + number(reason.found) + " bytes by another program during the wipe" +
            when + stopped + leftInPass(reason.when);
    if (reason.stop == Stop::BlocksMoved)
        return p + " had its blocks freed or moved by another program during the wipe" + when + stopped +
            (reason.when.stage == When::Stage::Pass
                    ? leftInPass(reason.when)
                    : std::string(" Its old blocks were overwritten at least once before they were moved; the file "
                                  "is left in place."));
    return p + " was opened for writing or truncated by another program during the wipe" + when + stopped +
        leftInPass(reason.when) + kCloseItFirst;
}

// The description of a reason that is not a refusal before the first write.
std::string description(const StopReason& reason, const std::string& p)
{
    switch (reason.stop) {
    case Stop::Missing:
        return p + " does not exist, so nothing was wiped. It may have been renamed, moved or wiped already.";
    case Stop::LinkToMissing:
        return p + " is a link to " + quoted(reason.name) + " which does not exist, so nothing was wiped.";
    case Stop::TooLarge: return p + " is too large to wipe";
    case Stop::InUse:
        if (reason.when.stage == When::Stage::Before && !reason.name.empty())
            return p + " " + refusalText(reason) + ", so it was not wiped.";
        if (reason.when.stage == When::Stage::Before)
            return refusal(reason, p);
        return p + " is open in another program, so the wipe stopped before pass " + number(reason.when.pass) + " of " +
            number(kPasses) + " and the file was not deleted." + kCloseItFirst +
            " Its content was already overwritten " + number(reason.when.pass - 1) +
            " times; the file is left in place";
    case Stop::ReadBackDiffers:
        return p + " did not read back as the last pass wrote it (first difference at byte " + number(reason.found) +
            "), so it was not deleted";
    case Stop::ReadBackShort:
        return p + " read back shorter than the last pass wrote it (" + number(reason.found) + " of " +
            number(reason.expected) + " bytes), so it was not deleted";
    case Stop::CallFailed: return failedCall(reason, p);
    case Stop::Moved:
    case Stop::Replaced:
    case Stop::MovedBeforeDelete:
    case Stop::LinkReplaced:
    case Stop::ReplacedBeforeDelete: return nameChangedText(reason, p);
    case Stop::ChangedAtStart:
    case Stop::Resized:
    case Stop::BlocksMoved:
    case Stop::OpenedForWriting: return contentChangedText(reason, p);
    case Stop::Folder:
    case Stop::LinkToFolder:
    case Stop::LinkToNonRegular:
    case Stop::LinkNotFollowed:
    case Stop::NotRegular:
    case Stop::KernelInterface:
    case Stop::OutOfReach:
    case Stop::MountPoint:
    case Stop::HardLinks:
    case Stop::ReadOnly:
    case Stop::NoSpaceForHoles: break;
    }
    return refusal(reason, p);
}

} // namespace

ErrorInfo ReportFor(const StopReason& reason, const std::string& path)
{
    const int err = reason.stop == Stop::CallFailed ? reason.err : numberFor(reason.stop);
    // One rule for every report: whole sentences, the last one ended by a full stop too.
    std::string words = description(reason, quoted(path));
    if (!words.ends_with('.'))
        words += '.';
    return ErrorInfo{err, std::move(words), kWipeSource};
}

} // namespace quellon
