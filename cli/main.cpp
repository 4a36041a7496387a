// SPDX-License-Identifier: GPL-3.0-or-later

// quellon-wipe [--progress] [--] PATH...
// Wipes each path in turn with one FileRipper, exactly as the window's Wipe All does. Every error
// report is written to stderr as its five-line text; the exit status is 1 if any was, else 0.
#include "FileRipper.h"
#include "RunProgress.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

class StderrMessageBox final : public quellon::MessageBox {
public:
    int Show(const std::string& prompt, int, const std::string&) override
    {
        static_cast<void>(std::fprintf(stderr, "%s\n", prompt.c_str()));
        ++shown;
        return quellon::IDOK;
    }
    int shown = 0;
};

// One line per report of the engine: the path, the pass, and for the whole run the bytes written of
// all to write, the speed and the time left, as the window's progress dialog shows them.
class ProgressPrinter final : public quellon::WipeObserver {
public:
    ProgressPrinter(quellon::FileSystem& files, const std::vector<std::string>& paths)
        : run_(quellon::RunProgress::LengthsOf(files, paths), quellon::RunProgress::Clock::now())
    {
    }

    void Progress(const quellon::WipeProgress& p) override
    {
        run_.Update(entry, p, quellon::RunProgress::Clock::now());
        static_cast<void>(std::fprintf(stderr, "%.*s: pass %d of %d, %s\n", static_cast<int>(p.path.size()),
            p.path.data(), p.pass, quellon::FileRipper::kPasses, run_.Text().c_str()));
    }
    bool CancelRequested() override { return false; }

    int entry = 0; // of the path being wiped

private:
    quellon::RunProgress run_;
};

} // namespace

int main(int argc, char** argv)
{
    bool progress = false;
    bool options = true;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        if (options && std::strcmp(argv[i], "--") == 0)
            options = false;
        else if (options && std::strcmp(argv[i], "--progress") == 0)
            progress = true;
        else
            paths.emplace_back(argv[i]);
    }
    if (paths.empty()) {
        static_cast<void>(std::fprintf(stderr, "usage: quellon-wipe [--progress] [--] PATH...\n"));
        return 2;
    }

    StderrMessageBox messages;
    quellon::PosixFileSystem files;
    quellon::FileRipper ripper(messages, files);
    ProgressPrinter printer(files, paths);
    for (const std::string& path : paths) {
        ripper.Wipe(path, progress ? &printer : nullptr);
        ++printer.entry;
    }
    return messages.shown > 0 ? 1 : 0;
}
