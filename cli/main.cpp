// quellon-wipe [--progress] [--] PATH...
// Wipes each path in turn with one FileRipper, exactly as the window's Wipe All does. Every error
// report is written to stderr as its five-line text; the exit status is 1 if any was, else 0.
#include "FileRipper.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

class StderrMessageBox final : public quellon::MessageBox {
public:
    int Show(const std::string& prompt, int, const std::string&) override
    {
        std::fprintf(stderr, "%s\n", prompt.c_str());
        ++shown;
        return quellon::IDOK;
    }
    int shown = 0;
};

class ProgressPrinter final : public quellon::WipeObserver {
public:
    void Progress(const quellon::WipeProgress& p) override
    {
        std::fprintf(stderr, "%.*s: pass %d of %d, %llu of %llu bytes\n", static_cast<int>(p.path.size()),
                     p.path.data(), p.pass, quellon::FileRipper::kPasses,
                     static_cast<unsigned long long>(p.bytesDone), static_cast<unsigned long long>(p.bytesTotal));
    }
    bool CancelRequested() override { return false; }
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
        std::fprintf(stderr, "usage: quellon-wipe [--progress] [--] PATH...\n");
        return 2;
    }

    StderrMessageBox messages;
    quellon::PosixFileSystem files;
    quellon::FileRipper ripper(messages, files);
    ProgressPrinter printer;
    for (const std::string& path : paths)
        ripper.Wipe(path, progress ? &printer : nullptr);
    return messages.shown > 0 ? 1 : 0;
}
