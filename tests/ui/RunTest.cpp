// SPDX-License-Identifier: GPL-3.0-or-later

// The Wipe All run over real files in the test's own temporary folder: every entry wiped in turn
// with the selection on it, one error report per file that fails, the list emptied on request and
// one closing message.

#include "WindowFixture.h"

#include "FileRipper.h"
#include "RecordingMessageBox.h"

#include <QCheckBox>
#include <QListWidget>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

namespace quellon::testing {
namespace {

using quellon::testing::PrintTo;

constexpr int kErrorBox = 0x10;
constexpr int kInformationBox = 0x40;
const std::string kDone = "All File(s) have been wiped.";

// The report the engine shows when it fails to wipe `path` on its own, outside any run.
std::string EngineReportFor(const std::string& path)
{
    testing::RecordingMessageBox box;
    PosixFileSystem real;
    FileRipper(box, real).CleanQuellon(path);
    EXPECT_EQ(box.shown.size(), 1u) << path;
    return box.shown.empty() ? std::string() : box.shown[0].prompt;
}

class WipeAllTest : public WindowTest {
protected:
    // Ticks or unticks "Clear List when done." with a click, as the user would.
    void setClearWhenDone(bool ticked)
    {
        auto* box = child<QCheckBox>("optcls");
        if (box->isChecked() != ticked)
            QTest::mouseClick(box, Qt::LeftButton);
        ASSERT_EQ(box->isChecked(), ticked);
    }

    // Notes which entry was selected each time the engine deletes a file.
    void watchDeletes()
    {
        files.beforeUnlink = [this](const std::string& path) {
            int row = -1;
            OnUiThread([&] { row = selectedRow(); });
            deleted.push_back({path, row});
        };
    }

    struct Deleted {
        std::string path;
        int selectedRow;
        bool operator==(const Deleted&) const = default;
    };
    std::vector<Deleted> deleted;
};

TEST_F(WipeAllTest, EmptyListSaysThereIsNothingToDelete)
{
    for (const bool ticked : {false, true}) {
        setClearWhenDone(ticked);
        messages.shown.clear();

        click("Delete");

        EXPECT_TRUE(messages.ShowedOnly("There is nothing to delete.", kErrorBox, "Quellon")) << "ticked " << ticked;
        EXPECT_EQ(list()->count(), 0);
        EXPECT_EQ(files.count(testing::FsCall::Open), 0);
    }
}

// A run over real files ('w') and paths in a folder that does not exist ('m'), and how it must end.
// In the expected closing text, {N} stands for the path of entry N.
struct ListEnd {
    const char* name;
    const char* entries;
    bool clearWhenDone;
    std::string closing;
    int flags;
    std::vector<int> left; // the entries still in the list afterwards
    int selectedRow;       // afterwards, -1 for none
};

constexpr int kExclamationBox = 0x30;
constexpr const char* kNoneWiped = "0 of 2 File(s) have been wiped.\r\n\r\n"
                                   "These 2 entries were not wiped; their error reports said why:\r\n{0}\r\n{1}";
constexpr const char* kOneNotWiped = "2 of 3 File(s) have been wiped.\r\n\r\n"
                                     "This entry was not wiped; its error report said why:\r\n{1}";
constexpr const char* kElevenNotWiped = "1 of 12 File(s) have been wiped.\r\n\r\n"
                                        "These 11 entries were not wiped; their error reports said why:\r\n"
                                        "{0}\r\n{1}\r\n{2}\r\n{3}\r\n{4}\r\n{5}\r\n{6}\r\n{7}\r\n{8}\r\n{10}\r\n"
                                        "and 1 more.";
constexpr const char* kTakenOff = "\r\n\r\nThe wiped entries were taken off the list; the others stay on it.";

const ListEnd kListEnds[] = {
    {"AllWipedUnticked", "ww", false, "All File(s) have been wiped.", kInformationBox, {0, 1}, 1},
    {"AllWipedTicked", "ww", true, "All File(s) have been wiped.", kInformationBox, {}, -1},
    {"Unticked", "wmw", false, kOneNotWiped, kExclamationBox, {0, 1, 2}, 2},
    {"Ticked", "wmw", true, std::string(kOneNotWiped) + kTakenOff, kExclamationBox, {1}, -1},
    {"NoneWipedTicked", "mm", true, kNoneWiped, kExclamationBox, {0, 1}, -1},
    {"ElevenNotWipedTicked", "mmmmmmmmmwmm", true, std::string(kElevenNotWiped) + kTakenOff, kExclamationBox,
        {0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 11}, -1},
};

// The closing text a row expects, with the entries' paths put in.
std::string ExpectedClosing(const ListEnd& row, const std::vector<std::string>& paths)
{
    std::string text = row.closing;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const std::string mark = "{" + std::to_string(i) + "}";
        for (std::size_t at = text.find(mark); at != std::string::npos; at = text.find(mark))
            text.replace(at, mark.size(), paths[i]);
    }
    return text;
}

class WipeAllListEnd : public WipeAllTest, public ::testing::WithParamInterface<ListEnd> {};

TEST_P(WipeAllListEnd, WipesEveryFileReportsTheMissingFolderOnceAndFinishes)
{
    const ListEnd& row = GetParam();
    setClearWhenDone(row.clearWhenDone);
    std::vector<std::string> paths;
    std::vector<Deleted> expectedDeletes;
    std::vector<std::pair<std::string, int>> expectedReports; // report text, selected row
    for (int i = 0; row.entries[i] != '\0'; ++i) {
        if (row.entries[i] == 'w') {
            paths.push_back(createFile("entry " + std::to_string(i) + " \xE2\x82\xAC.bin",
                std::string(static_cast<std::size_t>(5000 + 65000 * i), 'x')));
            expectedDeletes.push_back({paths.back(), i});
        } else {
            paths.push_back(pathFor("gone/entry " + std::to_string(i) + ".txt"));
            expectedReports.emplace_back(EngineReportFor(paths.back()), i);
        }
    }
    add(paths);
    watchDeletes();

    click("Delete");

    for (const std::string& path : paths)
        EXPECT_FALSE(Exists(path)) << path;
    EXPECT_FALSE(Exists(pathFor("gone")));
    EXPECT_EQ(deleted, expectedDeletes);

    ASSERT_EQ(messages.shown.size(), expectedReports.size() + 1) << messages.Prompts();
    for (std::size_t i = 0; i < expectedReports.size(); ++i) {
        const auto& report = messages.shown[i];
        EXPECT_EQ(report.prompt, expectedReports[i].first);
        EXPECT_EQ(report.title, "ERROR");
        EXPECT_EQ(report.flags, kErrorBox);
        EXPECT_EQ(report.selectedRow, expectedReports[i].second);
        EXPECT_EQ(report.entries, static_cast<int>(paths.size()));
    }

    QStringList left;
    for (const int entry : row.left)
        left.append(QString::fromStdString(paths[static_cast<std::size_t>(entry)]));
    const auto& done = messages.shown.back();
    EXPECT_EQ(done.prompt, ExpectedClosing(row, paths));
    EXPECT_EQ(done.title, "DONE");
    EXPECT_EQ(done.flags, row.flags);
    EXPECT_EQ(done.entries, left.size()) << "the list has its final content before the closing message";
    EXPECT_EQ(entries(), left);
    EXPECT_EQ(selectedRow(), row.selectedRow);
}

INSTANTIATE_TEST_SUITE_P(ClearListWhenDone, WipeAllListEnd, ::testing::ValuesIn(kListEnds), RowName<ListEnd>);

TEST_F(WipeAllTest, SamePathTwiceInOneRunIsWipedOnceWithoutReport)
{
    const std::string twice = createFile("twice.txt", "secret");
    const std::string once = createFile("once.txt", "other");
    add({twice, once, twice});
    watchDeletes();

    click("Delete");

    EXPECT_FALSE(Exists(twice));
    EXPECT_FALSE(Exists(once));
    EXPECT_EQ(deleted, (std::vector<Deleted>{{twice, 0}, {once, 1}})) << "not touched again";
    ASSERT_EQ(messages.shown.size(), 1u) << messages.Prompts();
    EXPECT_EQ(messages.shown[0].prompt, kDone);
    EXPECT_EQ(selectedRow(), 2);

    // The next run starts afresh: files made again under the same paths are wiped again.
    createFile("twice.txt", "new secret");
    createFile("once.txt", "new other");
    deleted.clear();
    messages.shown.clear();
    selectRow(0);
    click("Delete");

    EXPECT_FALSE(Exists(twice));
    EXPECT_FALSE(Exists(once));
    EXPECT_EQ(deleted, (std::vector<Deleted>{{twice, 0}, {once, 1}}));
    ASSERT_EQ(messages.shown.size(), 1u) << messages.Prompts();
    EXPECT_EQ(messages.shown[0].prompt, kDone);
    EXPECT_EQ(selectedRow(), 2);
}

// Two entries that lead to one file: the first wipes it, the second counts as wiped untouched.
struct OtherPathRow {
    const char* name;
    const char* first;  // the entries, relative to the test's folder, which holds the file "f" and
    const char* second; // the link "link" to it and the link "dir" to the folder itself
    bool linkLeft;      // "link" is still there after the run (wiped through, it is removed)
};

const OtherPathRow kOtherPaths[] = {
    {"DotSlashBesideThePath", "f", "./f", true},
    {"LinkThenItsTarget", "link", "f", false},
    {"TargetThenItsLink", "f", "link", true}, // leading nowhere: nothing else about it changes
    {"ThroughALinkedFolder", "f", "dir/f", true},
};

class OtherPathTest : public WipeAllTest, public ::testing::WithParamInterface<OtherPathRow> {};

TEST_P(OtherPathTest, SecondEntryToAWipedFileCountsAsWiped)
{
    const std::string file = createFile("f", "secret");
    ASSERT_EQ(::symlink(file.c_str(), pathFor("link").c_str()), 0);
    ASSERT_EQ(::symlink(dir.path().toStdString().c_str(), pathFor("dir").c_str()), 0);
    const std::string other = createFile("other", "other");
    add({pathFor(GetParam().first), pathFor(GetParam().second), other});

    click("Delete");

    EXPECT_FALSE(Exists(file));
    EXPECT_FALSE(Exists(other));
    ASSERT_EQ(messages.shown.size(), 1u) << messages.Prompts();
    EXPECT_EQ(messages.shown[0].prompt, kDone);
    struct stat status {};
    EXPECT_EQ(::lstat(pathFor("link").c_str(), &status) == 0, GetParam().linkLeft);
}

INSTANTIATE_TEST_SUITE_P(OneRun, OtherPathTest, ::testing::ValuesIn(kOtherPaths), RowName<OtherPathRow>);

TEST_F(WipeAllTest, FileThatCannotBeDeletedIsReportedAndTheRunGoesOn)
{
    const std::string stuck = createFile("stuck.txt", "abc");
    const std::string next = createFile("next.txt", "def");
    add({stuck, next});
    files.failOn({testing::FsCall::Unlink, 1, EACCES});

    click("Delete");

    EXPECT_TRUE(Exists(stuck)) << "left as far as the wipe got";
    EXPECT_FALSE(Exists(next));
    ASSERT_EQ(messages.shown.size(), 2u);
    EXPECT_EQ(messages.shown[0].title, "ERROR");
    EXPECT_EQ(messages.shown[0].selectedRow, 0);
    EXPECT_EQ(messages.shown[1].prompt,
        "1 of 2 File(s) have been wiped.\r\n\r\n"
        "This entry was not wiped; its error report said why:\r\n" +
            stuck);
    EXPECT_EQ(messages.shown[1].title, "DONE");
    EXPECT_EQ(messages.shown[1].flags, 0x30);
    EXPECT_EQ(entries().size(), 2);
}

} // namespace
} // namespace quellon::testing
