// SPDX-License-Identifier: GPL-3.0-or-later

#include "Defragmenter.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quellon::testing {
namespace {

// ext4's own ioctl (fs/ext4/ext4.h), which no exported header declares.
struct MoveExtent {
    std::uint32_t reserved = 0;
    std::uint32_t donorFd = 0;
    std::uint64_t origStart = 0; // in blocks
    std::uint64_t donorStart = 0;
    std::uint64_t length = 0;
    std::uint64_t movedLength = 0;
};
constexpr unsigned long kMoveExtents = _IOWR('f', 15, MoveExtent);

std::string failed(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

} // namespace

std::string moveBlocksAsADefragmenterDoes(const std::string& path)
{
    const int file = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (file < 0)
        return failed("open");
    struct stat st {};
    const std::string donorPath = path + ".defrag";
    const int donor = ::open(donorPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    std::string result;
    if (::fstat(file, &st) != 0 || donor < 0) {
        result = failed("donor");
    } else {
        const auto blocks = static_cast<std::uint64_t>((st.st_size + st.st_blksize - 1) / st.st_blksize);
        MoveExtent move;
        move.donorFd = static_cast<std::uint32_t>(donor);
        move.length = blocks;
        if (::fallocate(donor, 0, 0, st.st_size) != 0)
            result = failed("fallocate");
        else if (::ioctl(file, kMoveExtents, &move) != 0)
            result = errno == ENOTTY || errno == EOPNOTSUPP ? "not ext4" : failed("EXT4_IOC_MOVE_EXT");
        else if (move.movedLength != blocks)
            result = "moved " + std::to_string(move.movedLength) + " of " + std::to_string(blocks) + " blocks";
    }
    if (donor >= 0) {
        ::close(donor);
        ::unlink(donorPath.c_str());
    }
    ::close(file);
    return result;
}

} // namespace quellon::testing
