// SPDX-License-Identifier: GPL-3.0-or-later

// File-system images made, loop-mounted and removed inside a test's own folder (root only).

#include "LoopImage.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quellon::testing {
namespace {

std::string shellQuote(const std::string& text)
{
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

} // namespace

bool runCommand(const std::string& command)
{
    const int status = std::system(command.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string LoopImage::whyUnavailable(const std::string& mkfsTool)
{
    if (::geteuid() != 0)
        return "needs root to mount a loop device";
    if (!std::filesystem::exists("/dev/loop-control"))
        return "no loop devices on this machine";
    if (!runCommand("command -v " + mkfsTool + " >/dev/null 2>&1"))
        return mkfsTool + " is not installed";
    return {};
}

LoopImage::LoopImage(
    const std::string& folder, std::size_t sizeMiB, const std::string& mkfsCommand, const std::string& mountOptions)
    : image_(folder + "/image"), mountPoint_(folder + "/mnt")
{
    std::error_code ec;
    std::filesystem::create_directory(mountPoint_, ec);
    if (!runCommand("truncate -s " + std::to_string(sizeMiB) + "M " + shellQuote(image_))) {
        error_ = "cannot make the image file";
        return;
    }
    if (!runCommand(mkfsCommand + " " + shellQuote(image_) + " >/dev/null 2>&1")) {
        error_ = "'" + mkfsCommand + "' failed";
        return;
    }
    std::string options = "loop";
    if (!mountOptions.empty())
        options += "," + mountOptions;
    if (!runCommand("mount -o " + options + " " + shellQuote(image_) + " " + shellQuote(mountPoint_))) {
        error_ = "cannot mount the image with -o " + options;
        return;
    }
    mounted_ = true;
}

LoopImage::~LoopImage()
{
    unmount();
}

bool LoopImage::unmount()
{
    if (!mounted_)
        return true;
    if (!runCommand("umount " + shellQuote(mountPoint_)))
        return false;
    mounted_ = false;
    return true;
}

std::size_t LoopImage::countInImage(const std::string& needle) const
{
    std::ifstream in(image_, std::ios::binary);
    std::vector<char> chunk(std::size_t{4} << 20);
    std::string carry;
    std::size_t count = 0;
    while (in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        std::string window = carry;
        window.append(chunk.data(), static_cast<std::size_t>(in.gcount()));
        for (std::size_t at = window.find(needle); at != std::string::npos; at = window.find(needle, at + 1))
            ++count;
        // Keep a tail shorter than the needle so a match across two chunks is counted once.
        const std::size_t keep = std::min(window.size(), needle.size() - 1);
        carry = window.substr(window.size() - keep);
    }
    return count;
}

std::string LoopImage::readRaw(std::uint64_t offset, std::size_t length) const
{
    // The loop device writes into the image file through its page cache, so a plain read of the
    // file sees every block the device has been sent.
    const int fd = ::open(image_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string out(length, '\0');
    std::size_t got = 0;
    while (got < length) {
        const ssize_t n = ::pread(fd, out.data() + got, length - got, static_cast<off_t>(offset + got));
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    out.resize(got);
    return out;
}

} // namespace quellon::testing
