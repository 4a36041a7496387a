// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// The main window with recording fakes in place of the desktop's services, shown and active under
// the offscreen platform, and helpers that drive it as a user would: by mouse and keyboard on the
// controls, found by their object names.

#include "FaultyFileSystem.h"
#include "FileSystem.h"
#include "LinkOpener.h"
#include "MessageBox.h"
#include "OpenFileDialog.h"
#include "Rows.h"
#include "frmQuellon.h"

#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QAbstractButton;
class QListWidget;

namespace quellon::testing {

// Records every box with the state of the queue at the moment it was shown, and answers `answer`.
class WatchingMessageBox final : public MessageBox {
public:
    struct Shown {
        std::string prompt;
        int flags = 0;
        std::string title;
        int entries = -1;     // entries in the queue while the box was up
        int selectedRow = -1; // the selected entry then (-1: none)
    };

    int Show(const std::string& prompt, int flags, const std::string& title) override;

    // Every prompt shown so far, for failure messages.
    [[nodiscard]] std::string Prompts() const;
    // Whether exactly one box was shown, and it was this one; if not, what was shown instead.
    [[nodiscard]] ::testing::AssertionResult ShowedOnly(
        const std::string& prompt, int flags, const std::string& title) const;

    std::vector<Shown> shown;
    int answer = IDOK;
    std::function<void(Shown&)> look; // fills in the queue's state
};

// Records how the window set the dialog up for each use and answers with the next scripted name;
// "" (or running out of answers) is a cancel.
class ScriptedDialog final : public OpenFileDialog {
public:
    struct Use {
        std::string title;
        std::uint32_t flags = 0;
        std::string filter;
    };

    void ShowOpen() override;

    std::deque<std::string> answers;
    std::vector<Use> uses;
};

class RecordingLinkOpener final : public LinkOpener {
public:
    void Open(const std::string& link) override { opened.push_back(link); }
    std::vector<std::string> opened;
};

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The control of the window with this object name; fails the test when there is none.
    template <typename Control>
    Control* child(const char* name)
    {
        auto* control = window->findChild<Control*>(QLatin1String(name));
        EXPECT_NE(control, nullptr) << "no control named " << name;
        return control;
    }

    QListWidget* list();
    void click(const char* buttonName);
    // Queues each path through "Add..." as if the user had chosen it in the dialog.
    void add(const std::vector<std::string>& paths);
    // Selects the entry at `row` by clicking on it.
    void selectRow(int row);
    [[nodiscard]] QStringList entries();
    [[nodiscard]] int selectedRow();

    // A path inside this test's own temporary folder (nothing is created).
    [[nodiscard]] std::string pathFor(const std::string& name) const;
    // Creates a file of this test's own with `contents` and returns its path.
    std::string createFile(const std::string& name, const std::string& contents);

    QTemporaryDir dir;
    PosixFileSystem realFiles;
    testing::FaultyFileSystem files{realFiles};
    WatchingMessageBox messages;
    ScriptedDialog dialog;
    RecordingLinkOpener links;
    std::unique_ptr<frmQuellon> window;
};

[[nodiscard]] bool Exists(const std::string& path);

// The desktop these tests run on, as the run of them on another desktop (LayoutTest's Desktops)
// sets it: the application font's size, the window's expected scale against the layout's own
// pixels and Qt's device pixel ratio. Unset: Qt's default font, 1 and 1.
inline constexpr const char* kFontSizeVariable = "QUELLON_TEST_FONT_PT";
[[nodiscard]] double ExpectedScale();
[[nodiscard]] double ExpectedPixelRatio();

// Runs `work` on the UI thread and waits for it: hooks of the file system run on the wipe's worker
// thread, and widgets may be looked at only from the UI thread.
void OnUiThread(const std::function<void()>& work);

// The command-line switch that makes the test program run one scripted session of the real window
// (RunSession) instead of the tests, so that a test can run it as a child process in surroundings of
// its own.
inline constexpr const char* kSessionSwitch = "--scripted-session";

// In the child: starts the window with the real message box and open-file dialog, adds `path`
// through "Add..." by typing it into the dialog, wipes it, and quits with "&Quit" answered Yes.
// Returns 0 when all of that went as a user would see it, 1 (with the reason on stderr) otherwise.
int RunSession(const QString& path);

} // namespace quellon::testing
