// SPDX-License-Identifier: GPL-3.0-or-later

// The texts of the closing box of a Wipe All run (see ClosingMessages.h).

#include "ClosingMessages.h"

namespace quellon {

namespace {

std::string Entries(std::size_t count)
{
    return count == 1 ? std::string("1 entry") : std::to_string(count) + " entries";
}

std::string WipedCount(int wiped, int entries)
{
    return std::to_string(wiped) + " of " + std::to_string(entries) + " File(s) have been wiped.";
}

constexpr const char* kClearedWiped = "\r\n\r\nThe wiped entries were taken off the list; the others stay on it.";

} // namespace

std::string NotAllWipedText(int wiped, int entries, const std::vector<std::string>& notWiped, bool clearedWiped)
{
    std::string text = WipedCount(wiped, entries) + "\r\n\r\n";
    text += notWiped.size() == 1
        ? std::string("This entry was not wiped; its error report said why:")
        : "These " + Entries(notWiped.size()) + " were not wiped; their error reports said why:";
    for (std::size_t i = 0; i < notWiped.size() && i < kNamedNotWiped; ++i)
        text += "\r\n" + notWiped[i];
    if (notWiped.size() > kNamedNotWiped)
        text += "\r\nand " + std::to_string(notWiped.size() - kNamedNotWiped) + " more.";
    if (clearedWiped && wiped > 0)
        text += kClearedWiped;
    return text;
}

std::string CancelledText(const CancelledRun& run)
{
    std::string text = "Wiping was cancelled.\r\n\r\n" + WipedCount(run.wiped, run.entries) + "\r\n\r\n";
    switch (run.outcome) {
    case WipeOutcome::Wiped: text += "This file was wiped before the run stopped:\r\n"; break;
    case WipeOutcome::Cancelled:
        text += "This file was left partly overwritten (" + std::to_string(run.passesReached) + " of " +
            std::to_string(FileRipper::kPasses) + " passes) and was not deleted:\r\n";
        break;
    case WipeOutcome::Failed:
        // Once a pass has got under way, something may have been written before the step that failed.
        text += "This file could not be wiped (its error report was shown)";
        if (run.passesReached > 0)
            text += " and may be left partly overwritten";
        text += ":\r\n";
        break;
    }
    text += run.path;
    if (run.notReached > 0)
        text += "\r\n\r\n" + Entries(static_cast<std::size_t>(run.notReached)) +
            (run.notReached == 1 ? " after it was" : " after it were") + " not reached.";
    if (run.clearedWiped && run.wiped > 0)
        text += kClearedWiped;
    return text;
}

} // namespace quellon
