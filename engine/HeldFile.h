// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "FileSystem.h"

#include <string>

#include <sys/stat.h>

namespace quellon {

// The file being wiped, held so that no step can reach another file: its folder, held open; its
// name there; a descriptor that only names the file (O_PATH), through which every pass opens it;
// its identity (device, inode); and, when the user chose a symbolic link, the link's folder and
// name. Every step names the file relative to the held folder, never through a link.
class HeldFile {
public:
    explicit HeldFile(FileSystem& files) : files_(files) {}
    ~HeldFile();
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

    // Holds the file that `pin` (an O_PATH descriptor, owned from now on; fstat `st`) names, known
    // as `name` in the folder at `folderPath`. 0; -ENOENT when that name names nothing (any more),
    // -ESTALE when it names another file; otherwise the -errno of opening the folder or of looking
    // at the name.
    [[nodiscard]] int hold(int pin, const struct stat& st, const std::string& folderPath, const std::string& name);
    // Holds the folder of the link the user chose, named `name` there, whose lstat is `link`: only
    // that very link is removed after the file. 0 or -errno.
    [[nodiscard]] int holdLink(const std::string& folderPath, const std::string& name, const struct stat& link);

    int pin() const { return pin_; }
    int folder() const { return folder_; }
    const std::string& name() const { return name_; }
    // Whether `st` is of the held file.
    bool is(const struct stat& st) const { return st.st_dev == device_ && st.st_ino == inode_; }
    // Opens the held file once more, whatever its name names by now. The descriptor, or -errno.
    [[nodiscard]] int open(int flags) const { return files_.Reopen(pin_, flags); }

    // How deleting the name went.
    struct Deletion {
        enum class Outcome {
            Deleted,  // the name named the held file, and is gone
            Gone,     // the name names nothing
            Replaced, // the name names another file, which keeps it (see `strandedAs`)
            Failed,   // a call failed: `err`, at `step`; the held file keeps its name (see `strandedAs`)
        } outcome = Outcome::Deleted;
        int err = 0;
        enum class Step { Rename, Look, Unlink } step = Step::Rename;
        // Not empty when a file could not be given its name back: the hidden name it is left under.
        std::string strandedAs;
    };
    // Deletes the name, but only while it names the held file: it is first given a hidden name of
    // its own in the same folder and looked at there, so that a file another program puts in its
    // place at the last moment is never the one deleted (and gets its name back). Where the file
    // system cannot rename without replacing, the name is looked at and deleted where it is.
    [[nodiscard]] Deletion deleteName();
    // Makes the delete of the file last through a power cut: flushes its folder, or where the folder
    // may not be read (so not opened for flushing), the file's own inode, whose flush on ext4 and
    // XFS commits the unlink with it. 0 or -errno.
    [[nodiscard]] int syncFolder();
    // Removes the link the user chose in the same way, only while its name still names that very
    // link (Deletion::Outcome::Gone when the name names nothing any more), then flushes its folder
    // where it may be read (`flushErr`: the -errno of that flush, else 0).
    [[nodiscard]] Deletion removeLink(int& flushErr);
    // Deletes what earlier wipes left in the folder under a hidden name, where a wipe was killed
    // (SIGKILL, a power cut) between the rename and the unlink: a file that is plainly one of them,
    // 2 bytes long (CR LF) and of no other name. Anything else under such a name is left alone.
    void removeLeftovers();

private:
    // Opens the folder at `path`, for search only where it may not be listed (`listable` false).
    int openFolder(const std::string& path, bool& listable);
    // Deletes `name` in `folder` through a hidden name, only while it is the file of type `type`
    // (S_IFREG, S_IFLNK) at `device`/`inode`.
    [[nodiscard]] Deletion deleteChecked(int folder, const std::string& name, mode_t type, dev_t device, ino_t inode);
    // Whether `name` in the folder is a file an earlier wipe left under a hidden name.
    [[nodiscard]] bool isLeftover(const std::string& name);

    FileSystem& files_;
    int pin_ = -1;
    int folder_ = -1;
    bool listable_ = false;
    std::string name_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    int linkFolder_ = -1;
    bool linkListable_ = false;
    std::string linkName_;
    dev_t linkDevice_ = 0;
    ino_t linkInode_ = 0;
};

// The folder part of `path` as given: "." for a bare name, "/" for a name in the root.
[[nodiscard]] std::string FolderOf(const std::string& path);
// The name part of `path`: what follows its last slash.
[[nodiscard]] std::string NameOf(const std::string& path);

} // namespace quellon
