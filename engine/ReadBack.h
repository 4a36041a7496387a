// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "FileSystem.h"
#include "StopReason.h"

#include <cstdint>
#include <optional>
#include <string_view>

namespace quellon {

// After the last pass has been flushed: reads bytes [0, extent) of the open file `fd` (open for
// reading too) back past the page cache (direct I/O set on the descriptor, or dropping the cached
// pages where direct I/O is refused) and compares them with `pattern` repeated from byte 0. A
// difference is Stop::ReadBackDiffers, a short file Stop::ReadBackShort; a failing step is the
// failed call Call::ReadBack.
[[nodiscard]] std::optional<StopReason> VerifyOverwrite(
    FileSystem& files, int fd, std::uint64_t extent, std::string_view pattern);

} // namespace quellon
