// SPDX-License-Identifier: GPL-3.0-or-later

// The checks around the passes, through the real file system in a temporary folder: files that are
// read-only, in use by another program or on storage an overwrite cannot reach are refused before
// anything is written; the last pass is read back before the delete.
#include "HeldFile.h"
#include "WipeTestSupport.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <thread>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quellon::testing {
namespace {

namespace fs = std::filesystem;
using quellon::testing::PrintTo;

const std::string kOriginal(6000, 'o');

class Safeguard : public WipeTest {};

// ---- Storage that an overwrite cannot reach, shown to the engine as facts ----

struct InjectedStorageCase {
    const char* name;
    std::uint64_t magic;
    std::string type;
    std::string options;
    StopReason reason;              // why it is refused
    bool sparseOnAFullDisk = false; // a file of 1 MiB with a hole after its data, and no space free
};

class RefusedStorage : public WipeTest, public ::testing::WithParamInterface<InjectedStorageCase> {};

TEST_P(RefusedStorage, ReportsOnceBeforeAnyWriteAndLeavesTheFile)
{
    const InjectedStorageCase& c = GetParam();
    const std::string path = dir.file("victim");
    writeFile(path, kOriginal);
    if (c.sparseOnAFullDisk) {
        ASSERT_EQ(::truncate(path.c_str(), off_t{1} << 20), 0);
    }
    const std::string before = readFile(path);
    files.alterStatFs = [&](struct statfs& st) {
        st.f_type = static_cast<decltype(st.f_type)>(c.magic);
        if (c.sparseOnAFullDisk)
            st.f_bavail = st.f_bfree = 0;
    };
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    // The mount table names the file's own mount as the row has it (or not at all, without a type);
    // ext4's own list of options is not there.
    const std::string mount = c.type.empty() ? ""
                                             : "1 1 " + std::to_string(major(st.st_dev)) + ":" +
            std::to_string(minor(st.st_dev)) + " / / rw - " + c.type + " device " + c.options + "\n";
    files.alterSmallFile = [&](const std::string& file, int& rc, std::string& contents) {
        rc = file == "/proc/self/mountinfo" ? 0 : -ENOENT;
        contents = rc == 0 ? mount : "";
    };

    EXPECT_EQ(wipe(path), WipeOutcome::Failed);

    EXPECT_EQ(stopped, c.reason);
    EXPECT_EQ(files.count(FsCall::Write), 0);
    EXPECT_EQ(files.count(FsCall::Unlink), 0);
    EXPECT_EQ(readFile(path), before);
}

INSTANTIATE_TEST_SUITE_P(Facts, RefusedStorage,
    ::testing::Values(InjectedStorageCase{"btrfs", 0x9123683E, "btrfs", "rw,space_cache=v2",
                          {.stop = Stop::OutOfReach, .reach = Reach::CopyOnWrite, .name = "btrfs"}},
        InjectedStorageCase{"btrfs_not_in_the_mount_table", 0x9123683E, "", "",
            {.stop = Stop::OutOfReach, .reach = Reach::CopyOnWrite, .name = "btrfs"}},
        InjectedStorageCase{"ext4_with_journalled_data", 0xEF53, "ext4", "rw,nodelalloc,data=journal",
            {.stop = Stop::OutOfReach, .reach = Reach::JournalledData, .name = "ext4"}},
        InjectedStorageCase{"sshfs", 0x65735546, "fuse.sshfs", "rw,user_id=0",
            {.stop = Stop::OutOfReach, .reach = Reach::Fuse, .name = "fuse.sshfs"}},
        // Writing to these acts instead of storing: refused before the first write.
        InjectedStorageCase{
            "a_sysfs_attribute", 0x62656572, "sysfs", "rw,nosuid", {.stop = Stop::KernelInterface, .name = "sysfs"}},
        InjectedStorageCase{
            "a_cgroup2_control_file", 0x63677270, "", "", {.stop = Stop::KernelInterface, .name = "cgroup2"}},
        InjectedStorageCase{"a_sparse_file_whose_holes_cannot_fit", 0xEF53, "ext4", "rw",
            {.stop = Stop::NoSpaceForHoles, .expected = 1040384, .found = 0}, true}),
    RowName<InjectedStorageCase>);

// ---- Open in another program ----

// A child process that opens a file and holds it open until it is let go.
class OtherProgram {
public:
    OtherProgram(const std::string& path, int flags)
    {
        int ready[2];
        int release[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            // Only async-signal-safe calls here, then _exit: never back into the test framework.
            ::close(ready[0]);
            ::close(release[1]);
            const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
            char answer = fd >= 0 ? 'y' : 'n';
            (void)!::write(ready[1], &answer, 1);
            (void)!::read(release[0], &answer, 1);
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        release_ = release[1];
        char answer = 'n';
        holding_ = pid_ > 0 && ::read(ready[0], &answer, 1) == 1 && answer == 'y';
        ::close(ready[0]);
    }
    OtherProgram(const OtherProgram&) = delete;
    OtherProgram& operator=(const OtherProgram&) = delete;
    ~OtherProgram() { letGo(); }

    bool holding() const { return holding_; }

    // Closes the file and ends the child.
    void letGo()
    {
        if (pid_ <= 0)
            return;
        ::close(release_);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        holding_ = false;
    }

private:
    pid_t pid_ = -1;
    int release_ = -1;
    bool holding_ = false;
};

struct HolderCase {
    const char* name;
    int flags;
};

class OpenElsewhere : public WipeTest, public ::testing::WithParamInterface<HolderCase> {};

TEST_P(OpenElsewhere, IsReportedUnchangedAndWipedOnceClosed)
{
    const std::string path = dir.file("in-use");
    writeFile(path, kOriginal);
    OtherProgram other(path, GetParam().flags);
    ASSERT_TRUE(other.holding());

    EXPECT_EQ(wipe(path), WipeOutcome::Failed);
    EXPECT_EQ(stopped, (StopReason{.stop = Stop::InUse}));
    EXPECT_EQ(files.count(FsCall::Write), 0);
    EXPECT_EQ(readFile(path), kOriginal);
    // A reader (an indexer) is waited for a moment; a writer, which may be moving the file's blocks
    // or rewriting it, is not: no write lease is even asked for.
    if (GetParam().flags == O_RDONLY)
        EXPECT_GT(files.count(FsCall::Lease), 1);
    else
        EXPECT_EQ(files.count(FsCall::Lease), 0);

    other.letGo();
    EXPECT_EQ(wipe(path), WipeOutcome::Wiped);
    EXPECT_EQ(stopped, std::nullopt);
    EXPECT_FALSE(fs::exists(path));
}

INSTANTIATE_TEST_SUITE_P(Holders, OpenElsewhere,
    ::testing::Values(
        HolderCase{"a_reader", O_RDONLY}, HolderCase{"a_writer", O_WRONLY}, HolderCase{"a_reader_and_writer", O_RDWR}),
    RowName<HolderCase>);

// The kernel grants a write lease only when the asking descriptor is the file's one open file, so a
// second descriptor of this very program counts as well.
TEST_F(Safeguard, FileOpenTwiceInThisProgramIsAlsoRefused)
{
    const std::string path = dir.file("open-here");
    writeFile(path, kOriginal);
    const int held = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    EXPECT_EQ(wipe(path), WipeOutcome::Failed);
    ::close(held);
    EXPECT_EQ(stopped, (StopReason{.stop = Stop::InUse}));
    EXPECT_EQ(readFile(path), kOriginal);
}

// Quellon's own standard input (`quellon-wipe F < F`) is Quellon's, and the report says so.
TEST_F(Safeguard, FileThatIsThisProgramsStandardInputIsNamedSo)
{
    const std::string path = dir.file("stdin");
    writeFile(path, kOriginal);
    const int saved = ::dup(STDIN_FILENO);
    const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(saved, 0);
    ASSERT_GE(file, 0);
    ASSERT_EQ(::dup2(file, STDIN_FILENO), STDIN_FILENO);
    ::close(file);
    const WipeOutcome outcome = wipe(path);
    ::dup2(saved, STDIN_FILENO);
    ::close(saved);
    EXPECT_EQ(outcome, WipeOutcome::Failed);
    EXPECT_EQ(stopped, (StopReason{.stop = Stop::InUse, .name = "standard input"}));
    EXPECT_EQ(readFile(path), kOriginal);
}

// A signal that ends the program (a logout's SIGTERM, a closed terminal's SIGHUP) during a pass
// ends it there, the file left in place; during the delete it waits until the delete is done, so
// that no hidden name is ever left. Played in a child process, which the signal ends.
struct EndingSignalCase {
    const char* name;
    int signal;
    FsCall at;    // raised just before this call
    bool deleted; // the file is gone; otherwise it is still under its name
};

class EndingSignal : public ::testing::TestWithParam<EndingSignalCase> {};

TEST_P(EndingSignal, EndsTheProgramWithoutAHiddenNameLeft)
{
    const EndingSignalCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.file("victim");
    writeFile(path, kOriginal);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        PosixFileSystem real;
        FaultyFileSystem files{real};
        files.beforeCall = [&](FsCall call, int) {
            if (call == c.at)
                static_cast<void>(::raise(c.signal));
        };
        std::optional<StopReason> reason;
        static_cast<void>(WipeFile(files, path, nullptr, reason));
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << "status " << status;
    EXPECT_EQ(fs::exists(path), !c.deleted);
    for (const auto& entry : fs::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename(), "victim") << "left behind";
}

INSTANTIATE_TEST_SUITE_P(Signals, EndingSignal,
    ::testing::Values(EndingSignalCase{"logout_during_the_delete", SIGTERM, FsCall::Unlink, true},
        EndingSignalCase{"terminal_closed_during_the_delete", SIGHUP, FsCall::Unlink, true},
        EndingSignalCase{"logout_during_a_pass", SIGTERM, FsCall::Write, false}),
    RowName<EndingSignalCase>);

// What the lease request may answer, and what the wipe does then.
struct LeaseCase {
    const char* name;
    int error;         // injected into the request for the lease
    int times;         // into this many requests in a row
    bool wiped;        // true: the wipe goes on (with or without the lease)
    StopReason reason; // otherwise why it stopped
    int from = 1;      // the first request that fails (2 is the first giving back, 3 the lease of pass 2)
};

class LeaseAnswer : public WipeTest, public ::testing::WithParamInterface<LeaseCase> {};

TEST_P(LeaseAnswer, DecidesWhetherTheWipeGoesOn)
{
    const LeaseCase& c = GetParam();
    const std::string path = dir.file("leased");
    writeFile(path, kOriginal);
    files.failOn({FsCall::Lease, c.from, c.error, false, c.times});

    const WipeOutcome outcome = wipe(path);

    if (c.wiped) {
        EXPECT_EQ(outcome, WipeOutcome::Wiped);
        EXPECT_EQ(stopped, std::nullopt);
        EXPECT_FALSE(fs::exists(path));
        if (c.error != EAGAIN) {
            EXPECT_EQ(files.count(FsCall::Lease), 1) << "a lease that was not granted is not given back";
        }
        return;
    }
    EXPECT_EQ(outcome, WipeOutcome::Failed);
    EXPECT_EQ(stopped, c.reason);
    EXPECT_EQ(readFile(path), kOriginal);
}

INSTANTIATE_TEST_SUITE_P(Answers, LeaseAnswer,
    ::testing::Values(
        LeaseCase{"refused_because_the_file_is_open_elsewhere", EAGAIN, 1000, false, {.stop = Stop::InUse}},
        LeaseCase{"open_elsewhere_for_a_moment_only_an_indexer_say", EAGAIN, 3, true, {}},
        // Once the wipe has started, a program holding the file open never stops it.
        LeaseCase{"open_elsewhere_from_pass_2_to_the_end", EAGAIN, 1000, true, {}, 3},
        LeaseCase{"not_the_owner_and_no_lease_capability", EACCES, 1, true, {}},
        LeaseCase{"not_permitted", EPERM, 1, true, {}},
        LeaseCase{"a_file_system_or_system_without_leases", EINVAL, 1, true, {}},
        LeaseCase{"no_memory_for_the_lease", ENOMEM, 1, false,
            {.stop = Stop::CallFailed, .call = Call::CheckInUse, .err = ENOMEM, .when = When{}}}),
    RowName<LeaseCase>);

// Taking the lease must not expose the program to the lease-break signal: by default SIGIO, which
// ends a process, and which the kernel sends when another program opens the file while it is held.
TEST(PosixLease, AnotherProgramOpeningTheFileWhileLeasedDoesNotEndThisOne)
{
    TempDir dir;
    const std::string path = dir.file("leased");
    writeFile(path, kOriginal);
    PosixFileSystem files;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    if (int rc = files.SetLease(fd, F_WRLCK); rc != 0) {
        ::close(fd);
        GTEST_SKIP() << "no write lease here: " << std::strerror(-rc);
    }
    const pid_t child = ::fork();
    if (child == 0) {
        const int opened = ::open(path.c_str(), O_RDONLY); // waits until the lease is given back
        ::_exit(opened >= 0 ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    // While the kernel breaks the lease, F_GETLEASE reports the type it is being broken to.
    bool breaking = false;
    for (int i = 0; i < 500 && !breaking; ++i) {
        breaking = ::fcntl(fd, F_GETLEASE) != F_WRLCK;
        if (!breaking)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // room for a signal to arrive
    EXPECT_TRUE(breaking) << "the other program never asked for the file";
    EXPECT_EQ(files.SetLease(fd, F_UNLCK), 0);
    ::close(fd);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// ---- Read-only, also for root ----

struct ModeCase {
    const char* name;
    mode_t mode;
    bool readOnly;
};

class ModeAsRoot : public WipeTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(ModeAsRoot, NoWriteBitAtAllMeansReadOnly)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, whose open ignores the permission bits; as any other user the open itself "
                        "is refused (Paths/WipeRefusal.ReportsOnceAndChangesNothing/read_only_by_its_mode)";
    const std::string path = dir.file("moded");
    writeFile(path, kOriginal);
    ASSERT_EQ(::chmod(path.c_str(), GetParam().mode), 0);

    const WipeOutcome outcome = wipe(path);

    if (GetParam().readOnly) {
        EXPECT_EQ(outcome, WipeOutcome::Failed);
        EXPECT_EQ(stopped, (StopReason{.stop = Stop::ReadOnly}));
        EXPECT_EQ(files.count(FsCall::Write), 0);
        EXPECT_EQ(readFile(path), kOriginal);
    } else {
        EXPECT_EQ(outcome, WipeOutcome::Wiped);
        EXPECT_EQ(stopped, std::nullopt);
        EXPECT_FALSE(fs::exists(path));
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, ModeAsRoot,
    ::testing::Values(ModeCase{"r__r__r__", 0444, true}, ModeCase{"r________", 0400, true},
        ModeCase{"r_xr_xr_x", 0555, true}, ModeCase{"nothing_at_all", 0000, true},
        ModeCase{"write_only_for_the_owner", 0200, false}, ModeCase{"writable_by_others_only", 0006, false}),
    RowName<ModeCase>);

// A wipe never creates a file, whatever the umask: a missing path is a report.
TEST_F(Safeguard, MissingFileIsNotCreatedWhateverTheUmask)
{
    const std::string path = dir.file("new");
    const mode_t previous = ::umask(0777);
    const WipeOutcome outcome = wipe(path);
    ::umask(previous);
    EXPECT_EQ(outcome, WipeOutcome::Failed);
    EXPECT_EQ(stopped, (StopReason{.stop = Stop::Missing}));
    EXPECT_FALSE(fs::exists(path));
}

// Immutable and append-only files: the open for writing fails, also for root, and that is reported.
struct AttributeCase {
    const char* name;
    int flag;
};

class ProtectedByAttribute : public WipeTest, public ::testing::WithParamInterface<AttributeCase> {};

TEST_P(ProtectedByAttribute, OpenIsRefusedAndReported)
{
    const std::string path = dir.file("protected");
    writeFile(path, kOriginal);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    int flags = 0;
    const bool set = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
        (flags |= GetParam().flag, ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    const int err = errno;
    if (!set) {
        ::close(fd);
        GTEST_SKIP() << "cannot set the attribute here (" << std::strerror(err) << "); needs root and a file "
                     << "system with attributes";
    }

    const WipeOutcome outcome = wipe(path);

    flags &= ~GetParam().flag; // let the temporary folder be removed
    EXPECT_EQ(::ioctl(fd, FS_IOC_SETFLAGS, &flags), 0);
    ::close(fd);
    EXPECT_EQ(outcome, WipeOutcome::Failed);
    EXPECT_EQ(stopped, (StopReason{.stop = Stop::CallFailed, .call = Call::OpenForWriting, .err = EPERM}));
    EXPECT_EQ(readFile(path), kOriginal);
}

INSTANTIATE_TEST_SUITE_P(Attributes, ProtectedByAttribute,
    ::testing::Values(AttributeCase{"immutable", FS_IMMUTABLE_FL}, AttributeCase{"append_only", FS_APPEND_FL}),
    RowName<AttributeCase>);

// ---- The read-back of the last pass ----

enum class Corruption { FirstByte, LastByte, EndsEarly };

struct ReadBackCase {
    const char* name;
    Corruption corruption;
};

class ReadBack : public WipeTest, public ::testing::WithParamInterface<ReadBackCase> {};

TEST_P(ReadBack, ThatDiffersFromTheLastPassStopsBeforeTheTruncateAndTheDelete)
{
    const std::string path = dir.file("verified");
    writeFile(path, kOriginal);
    const std::size_t extent = 8192; // 6000 bytes in 4 KiB blocks
    const Corruption corruption = GetParam().corruption;
    files.alterRead = [&](char* data, ssize_t& got, off_t offset) {
        if (got <= 0)
            return;
        const auto end = static_cast<std::size_t>(offset) + static_cast<std::size_t>(got);
        if (corruption == Corruption::FirstByte && offset == 0)
            data[0] ^= 0x01;
        else if (corruption == Corruption::LastByte && end == extent)
            data[got - 1] ^= 0x40;
        else if (corruption == Corruption::EndsEarly)
            got = 0;
    };

    EXPECT_EQ(wipe(path), WipeOutcome::Failed);

    if (corruption == Corruption::EndsEarly) {
        EXPECT_EQ(
            stopped, (StopReason{.stop = Stop::ReadBackShort, .when = When::after(), .expected = extent, .found = 0}));
    } else {
        const std::uint64_t at = corruption == Corruption::FirstByte ? 0 : extent - 1;
        EXPECT_EQ(stopped, (StopReason{.stop = Stop::ReadBackDiffers, .when = When::after(), .found = at}));
    }
    EXPECT_EQ(files.count(FsCall::Truncate), 0);
    EXPECT_EQ(files.count(FsCall::Unlink), 0);
    EXPECT_EQ(readFile(path), repeated("\r\n", extent)) << "left as the last pass wrote it";
}

INSTANTIATE_TEST_SUITE_P(Reads, ReadBack,
    ::testing::Values(ReadBackCase{"one_byte_changed_at_the_start", Corruption::FirstByte},
        ReadBackCase{"one_byte_changed_at_the_end", Corruption::LastByte},
        ReadBackCase{"the_file_ends_early", Corruption::EndsEarly}),
    RowName<ReadBackCase>);

TEST_F(Safeguard, ReadBackCoversTheWholeOverwrittenRange)
{
    const std::string path = dir.file("large");
    const std::size_t length = (3u << 20) + 5; // more than one read-back chunk
    writeFile(path, std::string(length, 'o'));
    const std::size_t extent = (3u << 20) + 4096; // in 4 KiB blocks
    std::size_t read = 0;
    files.alterRead = [&](char*, ssize_t& got, off_t) { read += got > 0 ? static_cast<std::size_t>(got) : 0; };
    EXPECT_EQ(wipe(path), WipeOutcome::Wiped);
    EXPECT_EQ(stopped, std::nullopt);
    EXPECT_EQ(read, extent);
}

// Where direct I/O is refused, the read-back drops the file's cached pages and reads normally.
struct FallbackCase {
    const char* name;
    FaultyFileSystem::Fault fault;
};

class ReadBackWithoutDirectIo : public WipeTest, public ::testing::WithParamInterface<FallbackCase> {};

TEST_P(ReadBackWithoutDirectIo, DropsTheCacheAndStillChecks)
{
    const std::string path = dir.file("cached");
    writeFile(path, kOriginal);
    const int probe = ::open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
    if (probe < 0)
        GTEST_SKIP() << "this file system refuses direct I/O anyway, so the fallback is the normal path";
    ::close(probe);
    files.failOn(GetParam().fault);
    EXPECT_EQ(wipe(path), WipeOutcome::Wiped);
    EXPECT_EQ(stopped, std::nullopt);
    EXPECT_EQ(files.count(FsCall::DropCache), 1);
    EXPECT_FALSE(fs::exists(path));
}

INSTANTIATE_TEST_SUITE_P(Refusals, ReadBackWithoutDirectIo,
    ::testing::Values(FallbackCase{"direct_io_refused_for_the_descriptor", {FsCall::SetFlags, 1, EINVAL}},
        FallbackCase{"direct_read_refused", {FsCall::Read, 1, EINVAL}}),
    RowName<FallbackCase>);

// ---- The folder flushed after the delete ----

struct FolderCase {
    const char* name;
    std::string path;
    std::string folder;
};

class FolderOfPath : public ::testing::TestWithParam<FolderCase> {};

TEST_P(FolderOfPath, IsTheFolderThatHoldsTheName)
{
    EXPECT_EQ(FolderOf(GetParam().path), GetParam().folder);
}

INSTANTIATE_TEST_SUITE_P(Paths, FolderOfPath,
    ::testing::Values(FolderCase{"a_bare_name_is_in_the_current_folder", "notes.txt", "."},
        FolderCase{"a_name_in_the_root", "/notes.txt", "/"},
        FolderCase{"a_nested_name", "/quellon-nowhere/a/notes.txt", "/quellon-nowhere/a"},
        FolderCase{"a_relative_nested_name", "a/b/notes.txt", "a/b"},
        FolderCase{"doubled_slashes", "a//notes.txt", "a"},
        FolderCase{"a_name_in_the_root_with_doubled_slashes", "//notes.txt", "/"}),
    RowName<FolderCase>);

} // namespace
} // namespace quellon::testing
