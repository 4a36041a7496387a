// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// The passes of a wipe and the patterns they write.

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

namespace quellon {

inline constexpr int kPhases = 4;
inline constexpr int kPassesPerPhase = 11;
inline constexpr int kPasses = kPhases * kPassesPerPhase;

// The four patterns, one per phase, each repeated from byte 0 over the whole file. Phase 1 is a
// 16-bit zero; the others are ASCII text followed by CR LF.
inline constexpr std::array<std::string_view, kPhases> kPatterns = {
    std::string_view("\0\0", 2),
    std::string_view("0101010101\r\n"),
    std::string_view("********************\r\n"),
    std::string_view("\r\n"),
};
static_assert(kPatterns[0].size() == 2 && kPatterns[3] == "\r\n");

// A pass writes at least the longest pattern, even over an empty file.
inline constexpr std::size_t kLongestPattern = std::ranges::max(kPatterns, {}, &std::string_view::size).size();

} // namespace quellon
