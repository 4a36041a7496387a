// SPDX-License-Identifier: GPL-3.0-or-later

// The file being wiped, held by its folder, its name and a descriptor that names it: opening it for
// a pass, deleting its name only while the name still names it, and removing the link after it.

#include "HeldFile.h"

#include <cerrno>
#include <random>

#include <fcntl.h>

namespace quellon {
namespace {

// The folder is held open for the whole wipe; every step names the file relative to it.
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
// A folder that may be searched but not listed can still be held, though not flushed.
constexpr int kFolderPathFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

// A name for the file while it is deleted, unused in its folder: it tells nothing of the file and
// cannot be guessed by another program that means to put a file of its own under it. The source of
// random numbers is set up once per thread: setting it up costs more than all the digits it draws.
std::string hiddenName()
{
    thread_local std::random_device random;
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string name = ".quellon-";
    for (int i = 0; i < 16; ++i)
        name += kDigits[random() % 16];
    return name;
}

} // namespace

HeldFile::~HeldFile()
{
    for (int fd : {pin_, folder_, linkFolder_}) {
        if (fd >= 0)
            (void)files_.Close(fd);
    }
}

int HeldFile::openFolder(const std::string& path, bool& listable)
{
    listable = true;
    int fd = files_.OpenAt(AT_FDCWD, path, kFolderFlags, 0);
    if (fd == -EACCES) {
        listable = false;
        fd = files_.OpenAt(AT_FDCWD, path, kFolderPathFlags, 0);
    }
    return fd;
}

int HeldFile::hold(int pin, const struct stat& st, const std::string& folderPath, const std::string& name)
{
    pin_ = pin;
    device_ = st.st_dev;
    inode_ = st.st_ino;
    name_ = name;
    folder_ = openFolder(folderPath, listable_);
    if (folder_ < 0)
        return folder_;
    struct stat named {};
    if (int rc = files_.StatAt(folder_, name_, named); rc == -ENOENT || (rc == 0 && !is(named)))
        return -ESTALE;
    else
        return rc;
}

int HeldFile::holdLink(const std::string& folderPath, const std::string& name)
{
    bool listable = false;
    linkFolder_ = openFolder(folderPath, listable);
    linkName_ = name;
    return linkFolder_ < 0 ? linkFolder_ : 0;
}

HeldFile::Deletion HeldFile::deleteName()
{
    using Outcome = Deletion::Outcome;
    using Step = Deletion::Step;
    Deletion result;
    std::string hidden = hiddenName();
    if (int rc = files_.RenameAt(folder_, name_, hidden); rc == -EINVAL)
        hidden = name_; // a file system that cannot rename without replacing
    else if (rc == -ENOENT)
        return Deletion{Outcome::Gone, 0, Step::Rename, {}};
    else if (rc < 0)
        return Deletion{Outcome::Failed, -rc, Step::Rename, {}};

    struct stat named {};
    const int rc = files_.StatAt(folder_, hidden, named);
    if (rc == 0 && is(named)) {
        if (int unlinked = files_.UnlinkAt(folder_, hidden); unlinked < 0)
            result = Deletion{Outcome::Failed, -unlinked, Step::Unlink, {}};
        else
            return result;
    } else {
        result =
            rc < 0 ? Deletion{Outcome::Failed, -rc, Step::Look, {}} : Deletion{Outcome::Replaced, 0, Step::Rename, {}};
    }
    // Whatever is under the hidden name gets its own name back.
    if (hidden != name_ && files_.RenameAt(folder_, hidden, name_) < 0)
        result.strandedAs = hidden;
    return result;
}

int HeldFile::syncFolder()
{
    if (!listable_)
        return 0;
    const int rc = files_.SyncFolder(folder_);
    return rc == -EINVAL ? 0 : rc; // a folder that cannot be flushed on its own
}

int HeldFile::removeLink()
{
    struct stat st {};
    if (int rc = files_.StatAt(linkFolder_, linkName_, st); rc < 0 || !S_ISLNK(st.st_mode))
        return 0;
    return files_.UnlinkAt(linkFolder_, linkName_);
}

} // namespace quellon
