// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// Why a wipe stopped, as facts: every check and step that stops a wipe returns one of these, and
// Words.h turns it into the report the user reads. Nothing here is worded.

#include <cstdint>
#include <string>

namespace quellon {

enum class Stop {
    // Refused before anything was written; the file is as it was.
    Missing,          // the path names nothing
    LinkToMissing,    // a link whose file (`name`: where it points) does not exist
    Folder,           // the path names a folder
    LinkToFolder,     // a link to the folder `name`
    LinkToNonRegular, // a link to `name`, which is not a regular file
    LinkNotFollowed,  // a link of another user in a shared folder, which Linux does not follow
    NotRegular,       // a FIFO, socket, device...
    KernelInterface,  // a file of proc, sysfs, cgroup... (`name`: the file system)
    OutOfReach,       // storage where an overwrite cannot reach the old data (`reach`, `name`)
    MountPoint,       // something is mounted on it
    HardLinks,        // it has `found` other names
    ReadOnly,         // it has no write permission bits; `found` 1: this user may not write it
    InUse,            // another program has it open (before the passes, or before `when.pass`);
                      // `name` not empty: Quellon itself has it open as that stream ("standard input")
    NoSpaceForHoles,  // a sparse file whose holes need `expected` bytes; `found` are free
    TooLarge,         // a pass cannot cover it
    // Another program changed the file or its name.
    ChangedAtStart,       // between the first look and the first open
    Moved,                // the path or the file's name names nothing (any more): renamed, moved or deleted
    Replaced,             // the path names another file than the one held
    MovedBeforeDelete,    // the name named nothing at the delete: the file was renamed, moved or deleted
    ReplacedBeforeDelete, // the name named another file at the delete (`name`: where that one was left, if moved)
    LinkReplaced,         // the link's name named another file once its file (`name`) was deleted; `found` 1:
                          // that other file could not get the name back and is left as `name`
    Resized,              // its size went from `expected` to `found` bytes
    BlocksMoved,          // blocks that held its data are no longer its blocks, in place
    OpenedForWriting,     // its lease was broken by a write or a truncate
    // The read-back of the last pass.
    ReadBackDiffers, // the first difference is at byte `found`
    ReadBackShort,   // only `found` of `expected` bytes could be read
    // A system call failed with `err`.
    CallFailed,
};

// The call that failed, for Stop::CallFailed: what the wipe was doing.
enum class Call {
    None,
    ReadAttributes,       // stat of the file
    ReadFolderAttributes, // stat of its folder
    Open,                 // the path's first open, which names the file only
    FollowLink,           // the same, through a link
    OpenFolder,           // the folder that holds the file (or the link)
    OpenForWriting,       // the open for a pass
    ReadFileSystem,       // statfs
    ReadMountOptions,     // the mount table
    ReadAttributeFlags,   // chattr flags
    ReadBlockMap,         // FIEMAP
    CheckInUse,           // taking or asking the write lease
    AllocateBuffer,       // memory for the pattern
    Write,
    Flush,
    ReadBack,
    Truncate,
    Close,
    Delete,
    FlushFolder,
    DeleteLink, // the link the user chose, after its file (`name`) was deleted
};

// Where a storage refusal comes from, for Stop::OutOfReach.
enum class Reach {
    CopyOnWrite,      // btrfs, ZFS, bcachefs
    LogStructured,    // NILFS2, F2FS, flash file systems
    Network,          // NFS, SMB, Ceph, 9P...
    Fuse,             // a program in user space decides where data goes
    Overlay,          // overlay, aufs
    Stacked,          // eCryptfs
    JournalledData,   // data=journal
    JournalAttribute, // chattr +j
    InlineData,       // ext4 inline_data
    SharedExtents,    // reflinked or snapshotted blocks
};

// When in the wipe it stopped.
struct When {
    enum class Stage {
        Before,           // before the first write (also the first open)
        Pass,             // in pass `pass`, or for Stop::InUse just before it
        LastPassWritten,  // after the last pass was flushed (it could not be read back)
        LastPassReadBack, // after the last pass was flushed and read back
        After,            // after the passes: the cut, the delete
    } stage = Stage::Before;
    int pass = 0;

    static When inPass(int pass) { return When{Stage::Pass, pass}; }
    static When after() { return When{Stage::After, 0}; }
    bool operator==(const When&) const = default;
};

// What is left of the file when a step after the passes fails.
enum class Left {
    Unsaid,                // nothing to add: the failure came before the passes were done
    FullLengthNotReadBack, // overwritten, at its full length, but the last pass could not be read back
    FullLength,            // overwritten, at its full length
    CutNotOnDisk,          // cut to 2 bytes, which may not have reached the disk
    InPlace,               // overwritten, cut, under its name
    InFolderAs,            // overwritten, cut, under the hidden name `name` in its folder
    NotUnderName,          // overwritten, cut, and no longer under its name
};

struct [[nodiscard]] StopReason {
    Stop stop = Stop::CallFailed;
    Call call = Call::None; // for Stop::CallFailed
    int err = 0;            // the errno of the failed call
    When when{};
    Left left = Left::Unsaid;
    Reach reach = Reach::CopyOnWrite; // for Stop::OutOfReach
    std::string name{};               // the other path or name the words quote (see Stop)
    std::uint64_t expected = 0;       // sizes and counts the words give (see Stop)
    std::uint64_t found = 0;

    bool operator==(const StopReason&) const = default;
};

// A failed call: which call, its errno, and when.
[[nodiscard]] inline StopReason Failed(Call call, int err, When when = {})
{
    return StopReason{.stop = Stop::CallFailed, .call = call, .err = err, .when = when};
}

} // namespace quellon
