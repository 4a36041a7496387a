// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "OpenFileDialog.h"

#include <QString>
#include <QStringList>

#include <string_view>

namespace quellon {

// The open-file dialog on QFileDialog, Qt's own rather than the desktop's. It opens in the folder of
// the last file chosen (before the first choice, wherever Qt opens it) and reports the empty string
// after a cancel, so that a cancelled choice never brings back an earlier one. It leaves nothing on
// disk: the last folder is kept in this object only, and Qt's dialog settings in memory only.
class QtOpenFileDialog final : public OpenFileDialog {
public:
    void ShowOpen() override;

private:
    QString lastFolder_;
};

// The "description|pattern|description|pattern" filter in QFileDialog's form, one
// "description (glob glob)" entry per pair. Globs are separated by ";" in the input and by a space
// in the output, and "*.*" becomes "*". A description without a pattern is dropped; an empty filter
// gives an empty list (Qt then shows every file).
[[nodiscard]] QStringList QtNameFilters(std::string_view filter);

} // namespace quellon
