// SPDX-License-Identifier: GPL-3.0-or-later

// Whether an overwrite in place reaches a file's old data on its storage: the file systems refused,
// the facts gathered from statfs, the mount table and the file itself, and the mount-table parser.

#include "StorageCheck.h"

#include "WipeSupport.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <utility>
#include <vector>

#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace quellon {
namespace {

using namespace detail;

struct RefusedFileSystem {
    std::uint64_t magic; // statfs f_type
    const char* name;    // shown when the mount table does not name it
    // Why an overwrite cannot reach the old data: copy-on-write (written to new blocks; the old ones
    // stay until reused), log-structured (appended to a log; the old data stays until the cleaner
    // reuses it), network (stored on another machine), FUSE (a program in user space decides where
    // the data goes), overlay (the data may sit on a lower layer that writes never reach), stacked
    // (stored through another file system that we cannot see).
    Reach reach;
};

// The file systems on which overwriting a file in place cannot be shown to reach its old data.
// Every other file system is wiped as usual: ext2/3/4 with data=ordered or data=writeback, XFS,
// tmpfs, vfat and exFAT overwrite in place (the per-file rules below still apply to them).
constexpr std::array kRefused = {
    // btrfs: copy-on-write; even with nodatacow an extent that a snapshot shares is written anew.
    RefusedFileSystem{0x9123683E, "btrfs", Reach::CopyOnWrite},
    // ZFS (OpenZFS): copy-on-write; old blocks live on in snapshots and until they are reused.
    RefusedFileSystem{0x2FC12FC1, "zfs", Reach::CopyOnWrite},
    // bcachefs: copy-on-write.
    RefusedFileSystem{0xCA451A4E, "bcachefs", Reach::CopyOnWrite},
    // NILFS2: log-structured, with continuous checkpoints that keep every old version.
    RefusedFileSystem{0x3434, "nilfs2", Reach::LogStructured},
    // F2FS: log-structured; data is normally rewritten out of place, in place only when its
    // update policy happens to choose it.
    RefusedFileSystem{0xF2F52010, "f2fs", Reach::LogStructured},
    // JFFS2, UBIFS and YAFFS2: log-structured flash file systems; flash is never rewritten in place.
    RefusedFileSystem{0x72B6, "jffs2", Reach::LogStructured},
    RefusedFileSystem{0x24051905, "ubifs", Reach::LogStructured},
    RefusedFileSystem{0x5941FF53, "yaffs2", Reach::LogStructured},
    // NFS: the server's file system, not ours, decides where the data goes.
    RefusedFileSystem{0x6969, "nfs", Reach::Network},
    // SMB/CIFS (the old smbfs, cifs and the SMB2+ client): a Windows or Samba server's disk.
    RefusedFileSystem{0x517B, "smbfs", Reach::Network},
    RefusedFileSystem{0xFF534D42, "cifs", Reach::Network},
    RefusedFileSystem{0xFE534D42, "smb3", Reach::Network},
    // Ceph: objects replicated over other machines.
    RefusedFileSystem{0x00C36400, "ceph", Reach::Network},
    // Coda and AFS: served from other machines, with client caches of their own.
    RefusedFileSystem{0x73757245, "coda", Reach::Network},
    RefusedFileSystem{0x5346414F, "afs", Reach::Network},
    RefusedFileSystem{0x6B414653, "afs", Reach::Network},
    // 9P (also the shared folders of virtual machines): the host's file system.
    RefusedFileSystem{0x01021997, "9p", Reach::Network},
    // VirtualBox shared folders: the host's file system.
    RefusedFileSystem{0x786F4256, "vboxsf", Reach::Network},
    // FUSE (sshfs, rclone, ntfs-3g, exfat-fuse, virtiofs...): a program decides where data goes.
    RefusedFileSystem{0x65735546, "fuse", Reach::Fuse},
    // overlay: a file from a lower layer is copied up when it is opened for writing, and the
    // lower layer keeps its copy.
    RefusedFileSystem{0x794C7630, "overlay", Reach::Overlay},
    // aufs: a union mount like overlay, with the same copy-up.
    RefusedFileSystem{0x61756673, "aufs", Reach::Overlay},
    // eCryptfs: writes go through to a file on another file system, whose kind we cannot see.
    RefusedFileSystem{0xF15F, "ecryptfs", Reach::Stacked},
};

// File systems whose files are the kernel's interfaces, not stored data: writing to one of their
// files acts (sets a value, sends a command) instead of storing bytes.
struct KernelFileSystem {
    std::uint64_t magic; // statfs f_type
    const char* name;    // shown when the mount table does not name it
};
constexpr std::array kKernelInterfaces = {
    KernelFileSystem{0x9FA0, "proc"},
    KernelFileSystem{0x62656572, "sysfs"},
    KernelFileSystem{0x27E0EB, "cgroup"},
    KernelFileSystem{0x63677270, "cgroup2"},
    KernelFileSystem{0x64626720, "debugfs"},
    KernelFileSystem{0x74726163, "tracefs"},
    KernelFileSystem{0x73636673, "securityfs"},
    KernelFileSystem{0x62656570, "configfs"},
    KernelFileSystem{0xCAFE4A11, "bpf"},
    KernelFileSystem{0x6165676C, "pstore"},
    KernelFileSystem{0xDE5E81E4, "efivarfs"},
    KernelFileSystem{0x1CD1, "devpts"},
    KernelFileSystem{0x19800202, "mqueue"},
    KernelFileSystem{0x42494E4D, "binfmt_misc"},
    KernelFileSystem{0xF97CFF8C, "selinuxfs"},
    KernelFileSystem{0x43415D53, "smackfs"},
    KernelFileSystem{0x65735543, "fusectl"},
    KernelFileSystem{0x6E736673, "nsfs"},
    KernelFileSystem{0x6C6F6F70, "binder"},
    KernelFileSystem{0x67596969, "rpc_pipefs"},
    KernelFileSystem{0x6E667364, "nfsd"},
    KernelFileSystem{0xABBA1974, "xenfs"},
    KernelFileSystem{0x9FA1, "openpromfs"},
    // hugetlbfs: memory pages mapped by programs, not stored data (it takes no write(2) at all).
    KernelFileSystem{0x958458F6, "hugetlbfs"},
    KernelFileSystem{0x9FA2, "usbdevfs"},
};

// ext2, ext3 and ext4 share this magic number.
constexpr std::uint64_t kExtMagic = 0xEF53;

// Whether the comma-separated `options` hold exactly `wanted`.
bool hasOption(const std::string& options, std::string_view wanted)
{
    std::size_t start = 0;
    while (start <= options.size()) {
        std::size_t end = options.find(',', start);
        if (end == std::string::npos)
            end = options.size();
        if (std::string_view(options).substr(start, end - start) == wanted)
            return true;
        start = end + 1;
    }
    return false;
}

// The type and super options of `device` in the mount table `table` (/proc/self/mountinfo).
bool findMount(std::string_view table, dev_t device, std::string& type, std::string& options)
{
    for (std::size_t start = 0; start < table.size();) {
        std::size_t end = table.find('\n', start);
        if (end == std::string_view::npos)
            end = table.size();
        const auto line = ParseMountInfoLine(table.substr(start, end - start));
        start = end + 1;
        if (line && line->major == ::major(device) && line->minor == ::minor(device)) {
            type = line->type;
            options = line->superOptions;
            return true;
        }
    }
    return false;
}

// ext4 lists all its options under /proc/fs/ext4/<device name>, one a line, including those that
// came from the superblock's defaults (tune2fs -o journal_data), which mountinfo leaves out. Appends
// them to `options`; false where there is no such list (not ext4, or the device has no name).
bool addExt4Options(FileSystem& files, dev_t device, std::string& options)
{
    std::string target;
    const std::string link =
        "/sys/dev/block/" + std::to_string(::major(device)) + ":" + std::to_string(::minor(device));
    if (files.ReadLink(link, target) < 0 || target.empty())
        return false;
    const std::string name = target.substr(target.find_last_of('/') + 1);
    std::string list;
    if (name.empty() || files.ReadSmallFile("/proc/fs/ext4/" + name + "/options", list) < 0)
        return false;
    std::replace(list.begin(), list.end(), '\n', ',');
    while (!list.empty() && list.back() == ',')
        list.pop_back();
    if (!list.empty())
        options += (options.empty() ? "" : ",") + list;
    return true;
}

// The file system on `device` as mounted: its type and options. 0, -ENOENT when no mount of it
// can be seen, or the -errno of reading the mount table. On ext2/3/4 (`ext`) ext4's own list is
// read first: it names every option that the table names for the file system, and more. Where it
// does not journal data, the table could add only the name of the type, which no refusal then
// shows, so the table is not read.
int readMountOptions(FileSystem& files, dev_t device, bool ext, std::string& type, std::string& options)
{
    type.clear();
    options.clear();
    std::string own;
    const bool listed = ext && addExt4Options(files, device, own);
    if (listed && !hasOption(own, "data=journal")) {
        options = std::move(own);
        return 0;
    }
    std::string table;
    if (int rc = files.ReadSmallFile("/proc/self/mountinfo", table); rc < 0)
        return rc;
    const bool mounted = findMount(table, device, type, options);
    const bool ext4 = ext ? listed : addExt4Options(files, device, options);
    if (!own.empty())
        options += (options.empty() ? "" : ",") + own;
    return mounted || ext4 ? 0 : -ENOENT;
}

} // namespace

[[nodiscard]] std::optional<StopReason> WhyNotStoredData(const StorageFacts& facts)
{
    for (const KernelFileSystem& fs : kKernelInterfaces) {
        if (fs.magic == facts.magic)
            return StopReason{.stop = Stop::KernelInterface, .name = facts.type.empty() ? fs.name : facts.type};
    }
    return std::nullopt;
}

[[nodiscard]] std::optional<StopReason> WhyOverwriteCannotReach(const StorageFacts& facts)
{
    auto refused = [&](Reach reach, const std::string& name) {
        return StopReason{.stop = Stop::OutOfReach, .reach = reach, .name = name};
    };
    for (const RefusedFileSystem& fs : kRefused) {
        if (fs.magic == facts.magic)
            return refused(fs.reach, facts.type.empty() ? fs.name : facts.type);
    }
    // Journalled data (ext3/ext4 data=journal, also reiserfs): every write goes through the journal
    // first, and the journal keeps copies of the file's earlier contents that no overwrite of the
    // file reaches.
    if (hasOption(facts.options, "data=journal"))
        return refused(Reach::JournalledData, facts.type);
    // The journal-data attribute (chattr +j) journals one file's data like data=journal; ext4
    // ignores it under delayed allocation (its default), so it counts unless "delalloc" is known.
    if (facts.magic == kExtMagic && facts.journalDataAttribute && !hasOption(facts.options, "delalloc"))
        return refused(Reach::JournalAttribute, "");
    // Inline data (ext4 inline_data): the file's bytes live inside its inode, which is written
    // through the journal like all metadata, so copies of them stay in the journal.
    if (facts.inlineData)
        return refused(Reach::InlineData, "");
    // Shared extents (a reflinked copy, a deduplicated or snapshotted file): writing to the file
    // gives it new blocks and leaves the shared ones, with the old data, to the other owner.
    if (facts.sharedExtents)
        return refused(Reach::SharedExtents, "");
    return std::nullopt;
}

[[nodiscard]] std::optional<StopReason> GatherFileSystemFacts(
    FileSystem& files, int fd, const struct stat& st, StorageFacts& facts)
{
    facts = StorageFacts{};
    struct statfs fsInfo {};
    if (int rc = files.StatFs(fd, fsInfo); rc < 0)
        return Failed(Call::ReadFileSystem, -rc);
    // Magic numbers are 32 bits; f_type is a signed long that some of them overflow on 32-bit machines.
    facts.magic = static_cast<std::uint64_t>(fsInfo.f_type) & 0xFFFFFFFFu;
    // Root may also fill the blocks kept back for it.
    const auto blocks = static_cast<std::uint64_t>(::geteuid() == 0 ? fsInfo.f_bfree : fsInfo.f_bavail);
    facts.blockSize = fsInfo.f_bsize > 0 ? static_cast<std::uint64_t>(fsInfo.f_bsize) : 0;
    facts.freeBytes = blocks * facts.blockSize;

    const bool ext = facts.magic == kExtMagic;
    if (int rc = readMountOptions(files, st.st_dev, ext, facts.type, facts.options); rc < 0 && rc != -ENOENT)
        return Failed(Call::ReadMountOptions, -rc);
    return std::nullopt;
}

[[nodiscard]] std::optional<StopReason> GatherFileFacts(
    FileSystem& files, int fd, const BlockMap& map, StorageFacts& facts)
{
    unsigned attributes = 0;
    if (int rc = files.GetAttributes(fd, attributes); rc < 0 && !NotOffered(-rc))
        return Failed(Call::ReadAttributeFlags, -rc);
    facts.journalDataAttribute = (attributes & FS_JOURNAL_DATA_FL) != 0;
    for (const Extent& extent : map) {
        facts.sharedExtents = facts.sharedExtents || (extent.flags & FIEMAP_EXTENT_SHARED) != 0;
        facts.inlineData = facts.inlineData || (extent.flags & FIEMAP_EXTENT_DATA_INLINE) != 0;
    }
    return std::nullopt;
}

namespace {

// A decimal number of at most 9 digits' worth (no sign, no spaces) into `value`.
bool parseNumber(std::string_view digits, unsigned& value)
{
    value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9' || value > 0xFFFFFFFu)
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return true;
}

// "major:minor" into `out`.
bool parseDevice(std::string_view device, MountInfoLine& out)
{
    const std::size_t colon = device.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 == device.size())
        return false;
    return parseNumber(device.substr(0, colon), out.major) && parseNumber(device.substr(colon + 1), out.minor);
}

} // namespace

std::optional<MountInfoLine> ParseMountInfoLine(std::string_view line)
{
    // "36 35 98:0 /root /mnt opts [optional fields...] - type source super-options"
    std::array<std::string_view, 6> head{};
    std::size_t at = 0;
    auto nextField = [&]() -> std::string_view {
        while (at < line.size() && line[at] == ' ')
            ++at;
        const std::size_t start = at;
        while (at < line.size() && line[at] != ' ' && line[at] != '\n')
            ++at;
        return line.substr(start, at - start);
    };
    // A line cut short leaves empty fields, and then no separator is found below.
    for (std::string_view& field : head)
        field = nextField();
    std::string_view field;
    do {
        field = nextField();
        if (field.empty())
            return std::nullopt;
    } while (field != "-");
    const std::string_view type = nextField();
    const std::string_view source = nextField();
    const std::string_view superOptions = nextField();
    MountInfoLine out;
    if (type.empty() || source.empty() || !parseDevice(head[2], out))
        return std::nullopt;
    out.type = std::string(type);
    out.superOptions = std::string(superOptions);
    return out;
}

} // namespace quellon
