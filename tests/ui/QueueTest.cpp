// SPDX-License-Identifier: GPL-3.0-or-later

// The wipe queue: "Add..." appends the chosen path, "&Remove..." takes out the selected entry,
// "Clear" empties the list. None of them looks at or touches a file.

#include "WindowFixture.h"

#include <QFile>
#include <QListWidget>

namespace quellon::testing {
namespace {

class QueueTest : public WindowTest {};

QStringList Texts(const std::vector<std::string>& paths)
{
    QStringList texts;
    for (const std::string& path : paths)
        texts.append(QFile::decodeName(QByteArray::fromStdString(path)));
    return texts;
}

TEST_F(QueueTest, AddAppendsEachChosenPathInOrderDuplicatesIncluded)
{
    const std::vector<std::string> paths = {
        createFile("b.txt", "b"), createFile("a.txt", "a"), createFile("b.txt.bak", "c"),
        pathFor("b.txt"),                         // the same file again
        pathFor("typed but never created.doc"),   // nothing checks that it exists
        pathFor("na\xC3\xAFve \xE2\x82\xAC.txt"), // non-ASCII bytes stay as they are
    };
    add(paths);

    EXPECT_EQ(entries(), Texts(paths));
    EXPECT_EQ(selectedRow(), -1);
    EXPECT_TRUE(messages.shown.empty());
    ASSERT_EQ(dialog.uses.size(), paths.size());
    for (const ScriptedDialog::Use& use : dialog.uses) {
        EXPECT_EQ(use.title, "File Explorer");
        EXPECT_EQ(use.flags, 0x80000u);
        EXPECT_EQ(use.filter, "All Files(*.*)|*.*");
    }
    EXPECT_EQ(list()->item(5)->text().toStdString(), paths[5]);
    EXPECT_FALSE(Exists(paths[4]));
}

TEST_F(QueueTest, CancelledDialogAddsNothing)
{
    add({""}); // cancelled before anything was ever chosen
    EXPECT_TRUE(entries().isEmpty());

    const std::string chosen = pathFor("kept.txt");
    add({chosen, "", ""}); // cancelled after a choice
    EXPECT_EQ(entries(), Texts({chosen}));
    EXPECT_EQ(dialog.uses.size(), 4u);
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(QueueTest, RemoveTakesOutTheSelectedEntryAndKeepsTheOrder)
{
    const std::vector<std::string> five = {pathFor("1"), pathFor("2"), pathFor("3"), pathFor("4"), pathFor("5")};
    add(five);
    selectRow(2);
    ASSERT_EQ(selectedRow(), 2);

    click("Remove");

    EXPECT_EQ(entries(), Texts({five[0], five[1], five[3], five[4]}));
    EXPECT_EQ(selectedRow(), -1);
    EXPECT_TRUE(messages.shown.empty());

    // With the selection gone, a second press asks for a new one instead of taking another entry.
    click("Remove");
    EXPECT_EQ(entries().size(), 4);
    EXPECT_TRUE(messages.ShowedOnly("Select something to delete.", 0x40, "Nothing to delete."));
}

TEST_F(QueueTest, RemoveAsksForASelectionWhenThereIsNone)
{
    const std::vector<std::vector<std::string>> queues = {{}, {pathFor("1"), pathFor("2")}};
    for (const auto& queue : queues) {
        click("CLEARbtn");
        add(queue);
        messages.shown.clear();

        click("Remove");

        EXPECT_EQ(entries(), Texts(queue));
        EXPECT_TRUE(messages.ShowedOnly("Select something to delete.", 0x40, "Nothing to delete."))
            << queue.size() << " entries";
    }
}

TEST_F(QueueTest, ClearEmptiesTheListAndLeavesTheFilesAlone)
{
    const std::string kept = createFile("kept.txt", "still here");
    add({kept, kept, pathFor("other")});
    selectRow(1);

    click("CLEARbtn");
    EXPECT_TRUE(entries().isEmpty());

    click("CLEARbtn"); // on an empty list: nothing to see
    EXPECT_TRUE(entries().isEmpty());
    EXPECT_TRUE(messages.shown.empty());

    QFile file(QFile::decodeName(QByteArray::fromStdString(kept)));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("still here"));
}

} // namespace
} // namespace quellon::testing
