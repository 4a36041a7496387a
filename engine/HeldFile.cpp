// SPDX-License-Identifier: GPL-3.0-or-later

// The file being wiped, held by its folder, its name and a descriptor that names it: opening it for
// a pass, deleting its name only while the name still names it, and removing the link after it.

#include "HeldFile.h"

#include "EndingSignals.h"

#include <array>
#include <cerrno>
#include <random>
#include <string_view>
#include <vector>

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
constexpr std::string_view kHiddenPrefix = ".quellon-";
constexpr std::size_t kHiddenDigits = 16;
constexpr std::string_view kDigits = "0123456789abcdef";

std::string hiddenName()
{
    thread_local std::random_device random;
    std::string name(kHiddenPrefix);
    for (std::size_t i = 0; i < kHiddenDigits; ++i)
        name += kDigits[random() % kDigits.size()];
    return name;
}

// Whether `name` has the form of a hidden name.
bool isHiddenName(std::string_view name)
{
    return name.size() == kHiddenPrefix.size() + kHiddenDigits && name.starts_with(kHiddenPrefix) &&
        name.find_first_not_of(kDigits, kHiddenPrefix.size()) == std::string_view::npos;
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
    if (int rc = files_.StatAt(folder_, name_, named); rc == 0 && !is(named))
        return -ESTALE;
    else
        return rc;
}

int HeldFile::holdLink(const std::string& folderPath, const std::string& name, const struct stat& link)
{
    linkFolder_ = openFolder(folderPath, linkListable_);
    linkName_ = name;
    linkDevice_ = link.st_dev;
    linkInode_ = link.st_ino;
    return linkFolder_ < 0 ? linkFolder_ : 0;
}

HeldFile::Deletion HeldFile::deleteName()
{
    return deleteChecked(folder_, name_, S_IFREG, device_, inode_);
}

HeldFile::Deletion HeldFile::deleteChecked(int folder, const std::string& name, mode_t type, dev_t device, ino_t inode)
{
    using Outcome = Deletion::Outcome;
    using Step = Deletion::Step;
    Deletion result;
    // From the rename to the unlink (or the name given back), a logout must not leave the hidden name.
    const EndingSignalsHeld held;
    std::string hidden = hiddenName();
    // A file system that cannot rename without replacing (EINVAL), a full disk where the folder has
    // no room for another name (ENOSPC), a name too long once hidden (ENAMETOOLONG): the name is then
    // looked at and deleted where it is, as `rm` would delete it.
    if (int rc = files_.RenameAt(folder, name, hidden); rc == -EINVAL || rc == -ENOSPC || rc == -ENAMETOOLONG)
        hidden = name;
    else if (rc == -ENOENT)
        return Deletion{Outcome::Gone, 0, Step::Rename, {}};
    else if (rc < 0)
        return Deletion{Outcome::Failed, -rc, Step::Rename, {}};

    struct stat named {};
    const int rc = files_.StatAt(folder, hidden, named);
    // The type counts too: a link's inode number, freed when another program removes the link, may
    // be given at once to a file it puts under the same name.
    if (rc == 0 && (named.st_mode & S_IFMT) == type && named.st_dev == device && named.st_ino == inode) {
        if (int unlinked = files_.UnlinkAt(folder, hidden); unlinked < 0)
            result = Deletion{Outcome::Failed, -unlinked, Step::Unlink, {}};
        else
            return result;
    } else if (rc == -ENOENT && hidden == name) {
        return Deletion{Outcome::Gone, 0, Step::Look, {}};
    } else {
        result =
            rc < 0 ? Deletion{Outcome::Failed, -rc, Step::Look, {}} : Deletion{Outcome::Replaced, 0, Step::Rename, {}};
    }
    // Whatever is under the hidden name gets its own name back.
    if (hidden != name && files_.RenameAt(folder, hidden, name) < 0)
        result.strandedAs = hidden;
    return result;
}

int HeldFile::syncFolder()
{
    int rc = 0;
    if (listable_) {
        rc = files_.SyncFolder(folder_);
    } else {
        // The file is gone from its folder but still open through the pin: flush its inode instead.
        const int fd = files_.Reopen(pin_, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return fd;
        rc = files_.SyncFolder(fd);
        if (int closed = files_.Close(fd); rc == 0)
            rc = closed;
    }
    return rc == -EINVAL ? 0 : rc; // a folder or file system that cannot be flushed this way
}

void HeldFile::removeLeftovers()
{
    std::vector<std::string> names;
    if (!listable_ || files_.ListFolder(folder_, std::string(kHiddenPrefix), names) < 0)
        return;
    for (const std::string& name : names) {
        if (isHiddenName(name) && isLeftover(name))
            static_cast<void>(files_.UnlinkAt(folder_, name));
    }
}

bool HeldFile::isLeftover(const std::string& name)
{
    const int fd = files_.OpenAt(folder_, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
    struct stat st {};
    std::array<char, 3> bytes{};
    const bool leftover = fd >= 0 && files_.Stat(fd, st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
        st.st_size == 2 && files_.ReadAt(fd, bytes.data(), bytes.size(), 0) == 2 && bytes[0] == '\r' &&
        bytes[1] == '\n';
    if (fd >= 0)
        static_cast<void>(files_.Close(fd));
    return leftover;
}

HeldFile::Deletion HeldFile::removeLink(int& flushErr)
{
    flushErr = 0;
    Deletion deletion = deleteChecked(linkFolder_, linkName_, S_IFLNK, linkDevice_, linkInode_);
    if (deletion.outcome == Deletion::Outcome::Deleted && linkListable_) {
        if (int rc = files_.SyncFolder(linkFolder_); rc < 0 && rc != -EINVAL)
            flushErr = rc;
    }
    return deletion;
}

std::string FolderOf(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    const std::size_t end = path.find_last_not_of('/', slash);
    return end == std::string::npos ? "/" : path.substr(0, end + 1);
}

std::string NameOf(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace quellon
