// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

namespace quellon {

// The signals that end a program politely (SIGTERM at logout or shutdown, SIGHUP when its terminal
// goes, SIGINT from Ctrl+C) keep ending it at once, except within the few calls of a delete: from
// the file's rename to a hidden name to its unlink. There they are held back and take effect as
// soon as the delete is done, so that no hidden name is left behind. Only signals whose action is
// still the default are handled; a program that handles them itself keeps its own handlers.
void DeferEndingSignalsDuringDeletes();

// Holds those signals back for as long as it lives (nested holds count as one).
class EndingSignalsHeld {
public:
    EndingSignalsHeld();
    ~EndingSignalsHeld();
    EndingSignalsHeld(const EndingSignalsHeld&) = delete;
    EndingSignalsHeld& operator=(const EndingSignalsHeld&) = delete;
};

} // namespace quellon
