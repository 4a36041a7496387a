// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <string>

namespace quellon::testing {

// Does to the file at `path` what e4defrag does on ext4: its data is copied to the blocks of a new
// donor file beside it (EXT4_IOC_MOVE_EXT swaps the two files' extents), and the donor, which then
// owns the old blocks with the old data, is deleted. The file's size and change time stay as they
// were. The file is opened for writing without waiting on a lease (O_NONBLOCK): where another
// program holds one, the open fails and its lease starts to break. Empty on success, else what
// failed; "not ext4" where the file system has no such call.
std::string moveBlocksAsADefragmenterDoes(const std::string& path);

} // namespace quellon::testing
