// The Wipe All run over real files in the test's own temporary folder: every entry wiped in turn
// with the selection on it, one error report per file that fails, the list emptied on request and
// one closing message.

#include "WindowFixture.h"

#include "FileRipper.h"
#include "RecordingMessageBox.h"

#include <QCheckBox>
#include <QListWidget>
#include <QTest>

#include <cerrno>

namespace quellon::uitest {
namespace {

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

        ASSERT_EQ(messages.shown.size(), 1u) << "ticked " << ticked;
        EXPECT_EQ(messages.shown[0].prompt, "There is nothing to delete.");
        EXPECT_EQ(messages.shown[0].title, "Quellon");
        EXPECT_EQ(messages.shown[0].flags, kErrorBox);
        EXPECT_EQ(list()->count(), 0);
        EXPECT_EQ(files.count(testing::FsCall::Open), 0);
    }
}

struct ListEnd {
    const char* name;
    bool clearWhenDone;
};

class WipeAllListEnd : public WipeAllTest, public ::testing::WithParamInterface<ListEnd> {};

TEST_P(WipeAllListEnd, WipesEveryFileReportsTheMissingFolderOnceAndFinishes)
{
    setClearWhenDone(GetParam().clearWhenDone);
    const std::string first = createFile("first.txt", std::string(5000, 'x'));
    const std::string missing = pathFor("gone/second.txt");
    const std::string third = createFile("third \xE2\x82\xAC.bin", std::string(70000, '\0'));
    const std::string expectedReport = EngineReportFor(missing);
    add({first, missing, third});
    watchDeletes();

    click("Delete");

    EXPECT_FALSE(Exists(first));
    EXPECT_FALSE(Exists(third));
    EXPECT_FALSE(Exists(pathFor("gone")));
    EXPECT_EQ(deleted, (std::vector<Deleted>{{first, 0}, {third, 2}}));

    ASSERT_EQ(messages.shown.size(), 2u);
    const auto& report = messages.shown[0];
    EXPECT_EQ(report.prompt, expectedReport);
    EXPECT_EQ(report.title, "ERROR");
    EXPECT_EQ(report.flags, kErrorBox);
    EXPECT_EQ(report.selectedRow, 1);
    EXPECT_EQ(report.entries, 3);

    const auto& done = messages.shown[1];
    EXPECT_EQ(done.prompt, kDone);
    EXPECT_EQ(done.title, "DONE");
    EXPECT_EQ(done.flags, kInformationBox);
    if (GetParam().clearWhenDone) {
        EXPECT_EQ(done.entries, 0) << "the list is emptied before the closing message";
        EXPECT_EQ(list()->count(), 0);
    } else {
        EXPECT_EQ(done.entries, 3);
        EXPECT_EQ(list()->count(), 3);
        EXPECT_EQ(selectedRow(), 2) << "the last entry stays selected";
    }
}

INSTANTIATE_TEST_SUITE_P(ClearListWhenDone, WipeAllListEnd,
                         ::testing::Values(ListEnd{"Unticked", false}, ListEnd{"Ticked", true}),
                         RowName<ListEnd>);

TEST_F(WipeAllTest, SamePathTwiceIsWipedThenCreatedAndWipedAgainWithoutReport)
{
    const std::string twice = createFile("twice.txt", "secret");
    const std::string once = createFile("once.txt", "other");
    add({twice, once, twice});
    watchDeletes();

    click("Delete");

    EXPECT_FALSE(Exists(twice));
    EXPECT_FALSE(Exists(once));
    EXPECT_EQ(deleted, (std::vector<Deleted>{{twice, 0}, {once, 1}, {twice, 2}}));
    ASSERT_EQ(messages.shown.size(), 1u) << messages.Prompts();
    EXPECT_EQ(messages.shown[0].prompt, kDone);

    // Again over the same, now wiped, paths: each is made anew and deleted, without a report.
    deleted.clear();
    messages.shown.clear();
    selectRow(0);
    click("Delete");

    EXPECT_FALSE(Exists(twice));
    EXPECT_FALSE(Exists(once));
    EXPECT_EQ(deleted.size(), 3u);
    ASSERT_EQ(messages.shown.size(), 1u) << messages.Prompts();
    EXPECT_EQ(messages.shown[0].prompt, kDone);
    EXPECT_EQ(selectedRow(), 2);
}

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
    EXPECT_EQ(messages.shown[1].prompt, kDone);
    EXPECT_EQ(entries().size(), 2);
}

} // namespace
} // namespace quellon::uitest
