// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// The closing box of a Wipe All run: its texts and the icon of a run that could not wipe every
// entry. Paths are given as handed to the engine (the file names' bytes); lines end in CR LF.

#include "FileRipper.h"

#include <cstddef>
#include <string>
#include <vector>

namespace quellon {

// The exclamation-mark icon, for a run that ended with entries not wiped.
inline constexpr int MB_ICONEXCLAMATION = 0x30;

// The title of the closing box of a run that went through every entry.
inline constexpr const char* kRunDoneTitle = "DONE";

// The closing message of a run that wiped every entry.
inline constexpr const char* kAllWipedText = "All File(s) have been wiped.";

// How many of the entries not wiped the closing message names one by one.
inline constexpr std::size_t kNamedNotWiped = 10;

// The closing message of a run that went through every entry (`entries` of them) but could not
// wipe them all: how many were wiped, and which were not (the first kNamedNotWiped by name), each
// of which had its error report; with `clearedWiped`, that the wiped entries left the list.
[[nodiscard]] std::string NotAllWipedText(
    int wiped, int entries, const std::vector<std::string>& notWiped, bool clearedWiped);

// A run that was cancelled: the entry under way, `path`, and how it ended; `passesReached` is the
// last pass the engine told of (for a cancelled file, the last one finished). `wiped` of `entries`
// were wiped (the one under way included, if it was), `notReached` entries after it never started,
// and with `clearedWiped` the wiped entries left the list.
struct CancelledRun {
    std::string path;
    WipeOutcome outcome = WipeOutcome::Cancelled;
    int passesReached = 0;
    int wiped = 0;
    int entries = 0;
    int notReached = 0;
    bool clearedWiped = false;
};

// The closing message of a cancelled run: how many entries were wiped, what became of the one under
// way and how many after it were not reached.
[[nodiscard]] std::string CancelledText(const CancelledRun& run);

} // namespace quellon
