// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "FileSystem.h"

#include <vector>

namespace quellon {

// Where on the device a file's data lies, extent by extent, in the order of the file.
using BlockMap = std::vector<Extent>;

// Reads the whole block map of the open file `fd` into `map`; with `flushFirst`, data of the file
// still in memory is written out first so that all of it has its place on the device. 0, or -errno;
// a file system that offers no block map at all (tmpfs and the like) answers -EOPNOTSUPP.
[[nodiscard]] int ReadBlockMap(FileSystem& files, int fd, bool flushFirst, BlockMap& map);

// Whether every extent of `before` that held data on the device is still mapped in `now` at the
// same offset of the file to the same place on the device. Blocks that appear where the file had
// holes, and preallocated blocks that have been written since, do not count as a change.
[[nodiscard]] bool StillInPlace(const BlockMap& before, const BlockMap& now);

} // namespace quellon
