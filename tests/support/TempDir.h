// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <filesystem>
#include <string>

namespace quellon::testing {

// A fresh folder of the test's own under the system's temporary folder, removed with everything in
// it when the object goes. Tests create, wipe and inspect files only inside it.
class TempDir {
public:
    TempDir();
    // The same under `parent` instead, such as /dev/shm for an image that must not wait on a disk.
    explicit TempDir(const std::filesystem::path& parent);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Whole-file helpers for test files.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& contents);

} // namespace quellon::testing
