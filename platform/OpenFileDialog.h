// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <cstdint>
#include <string>

namespace quellon {

// Option bits of the Windows open-file dialog, in its own numbering.
inline constexpr std::uint32_t OFN_ALLOWMULTISELECT = 0x200;
inline constexpr std::uint32_t OFN_FILEMUSTEXIST = 0x1000;
inline constexpr std::uint32_t OFN_EXPLORER = 0x80000;

// The open-file dialog component. The caller sets DialogTitle, Flags and Filter, calls ShowOpen,
// then reads FileName. The component keeps its properties from one use to the next.
//
// Filter holds "description|pattern" pairs joined by "|"; a pattern may list several globs joined
// by ";", and "*.*" means every file, with or without a dot in its name. Only OFN_FILEMUSTEXIST
// changes what may be chosen; without it a typed name of a file that does not exist is accepted.
class OpenFileDialog {
public:
    virtual ~OpenFileDialog() = default;

    std::string DialogTitle;
    std::uint32_t Flags = 0;
    std::string Filter;

    // Shows the dialog modally and returns when the user has closed it. Afterwards FileName is the
    // path chosen, in the file system's own encoding, or "" when the user cancelled.
    virtual void ShowOpen() = 0;

    [[nodiscard]] const std::string& FileName() const { return fileName_; }

protected:
    std::string fileName_;
};

} // namespace quellon
