// SPDX-License-Identifier: GPL-3.0-or-later

// A test's own temporary folder, removed with everything in it.

#include "TempDir.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

namespace quellon::testing {

TempDir::TempDir() : TempDir(std::filesystem::temp_directory_path())
{
}

TempDir::TempDir(const std::filesystem::path& parent)
{
    std::string pattern = (parent / "quellon-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::string& path, const std::string& contents)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    if (!out.flush())
        throw std::runtime_error("cannot write test file " + path);
}

} // namespace quellon::testing
