// SPDX-License-Identifier: GPL-3.0-or-later

// How the window ends ("&Quit", a close request at once or during a run), and the contact label.

#include "WindowFixture.h"

#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QTest>
#include <QWindow>

#include <string>

namespace quellon::testing {
namespace {

using quellon::testing::PrintTo;

class WindowLifeTest : public WindowTest {};

TEST_F(WindowLifeTest, QuitAnsweredNoLeavesEverythingAsItWas)
{
    add({pathFor("a"), pathFor("b")});
    selectRow(1);
    QTest::mouseClick(child<QCheckBox>("optcls"), Qt::LeftButton);
    messages.answer = IDNO;

    click("Quit");

    EXPECT_TRUE(messages.ShowedOnly("Are you sure you want to quit?", 4, "Quellon"));
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(entries().size(), 2);
    EXPECT_EQ(selectedRow(), 1);
    EXPECT_TRUE(child<QCheckBox>("optcls")->isChecked());
}

TEST_F(WindowLifeTest, QuitAnsweredYesClosesTheWindow)
{
    add({pathFor("a")});
    messages.answer = IDYES;

    click("Quit");

    EXPECT_TRUE(messages.ShowedOnly("Are you sure you want to quit?", 4, "Quellon"));
    EXPECT_FALSE(window->isVisible());
}

// When the window manager asks the window to close: at once, or during a Wipe All run.
struct CloseRow {
    const char* name;
    bool duringRun;
};

class CloseRequestTest : public WindowLifeTest, public ::testing::WithParamInterface<CloseRow> {};

// During a run the request is ignored but remembered: the run goes on to its closing box, and then
// the window closes, still without a question.
TEST_P(CloseRequestTest, ClosesWithoutAQuestion)
{
    ASSERT_NE(window->windowHandle(), nullptr);
    if (!GetParam().duringRun) {
        add({pathFor("a"), pathFor("b")});
        EXPECT_TRUE(window->windowHandle()->close());
        EXPECT_FALSE(window->isVisible());
        EXPECT_TRUE(messages.shown.empty());
        return;
    }

    const std::string first = createFile("first.txt", "first");
    const std::string second = createFile("second.txt", "second");
    add({first, second});
    bool closedAtOnce = true;
    bool visibleAfterRequest = false;
    bool secondUntouchedThen = false;
    files.beforeUnlink = [&](const std::string&) {
        if (!closedAtOnce)
            return; // asked once, while the first file is wiped
        secondUntouchedThen = Exists(second);
        OnUiThread([&] {
            closedAtOnce = window->windowHandle()->close();
            visibleAfterRequest = window->isVisible();
        });
    };

    click("Delete");
    files.beforeUnlink = nullptr;

    EXPECT_FALSE(closedAtOnce) << "the request is ignored while the run goes on";
    EXPECT_TRUE(visibleAfterRequest);
    EXPECT_TRUE(secondUntouchedThen);
    EXPECT_FALSE(Exists(first));
    EXPECT_FALSE(Exists(second)) << "the run goes on to its last entry";
    EXPECT_TRUE(messages.ShowedOnly("All File(s) have been wiped.", 0x40, "DONE"));
    EXPECT_FALSE(window->isVisible()) << "closed after the closing box";
}

INSTANTIATE_TEST_SUITE_P(FromTheWindowManager, CloseRequestTest,
    ::testing::Values(CloseRow{"WhenIdle", false}, CloseRow{"DuringAWipeAllRunAfterItsClosingBox", true}),
    RowName<CloseRow>);

TEST_F(WindowLifeTest, ContactLabelOpensItsMailtoLinkAndNothingElseDoes)
{
    auto* contact = child<QLabel>("Label4");
    ASSERT_NE(contact, nullptr);

    QTest::mouseClick(contact, Qt::RightButton);
    for (const char* other : {"Label1", "Label2", "Label3", "Image1"})
        QTest::mouseClick(child<QWidget>(other), Qt::LeftButton);
    EXPECT_TRUE(links.opened.empty());

    QTest::mouseClick(contact, Qt::LeftButton);
    EXPECT_EQ(links.opened, std::vector<std::string>{"mailto:support@quellon.example"});

    EXPECT_TRUE(messages.shown.empty());
    EXPECT_TRUE(window->isVisible());
}

} // namespace
} // namespace quellon::testing
