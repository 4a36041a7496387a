// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "MessageBox.h"

#include <string>
#include <vector>

namespace quellon::testing {

// A message box that records every box it is asked to show and answers with `answer`.
class RecordingMessageBox final : public MessageBox {
public:
    struct Shown {
        std::string prompt;
        int flags = 0;
        std::string title;
    };

    int Show(const std::string& prompt, int flags, const std::string& title) override
    {
        shown.push_back({prompt, flags, title});
        return answer;
    }

    std::vector<Shown> shown;
    int answer = IDOK;
};

} // namespace quellon::testing
