// SPDX-License-Identifier: GPL-3.0-or-later

// How the window ends, and the contact label.

#include "WindowFixture.h"

#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QTest>
#include <QWindow>

namespace quellon::uitest {
namespace {

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

TEST_F(WindowLifeTest, CloseRequestFromTheWindowManagerClosesWithoutAQuestion)
{
    add({pathFor("a"), pathFor("b")});

    ASSERT_NE(window->windowHandle(), nullptr);
    EXPECT_TRUE(window->windowHandle()->close());

    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(messages.shown.empty());
}

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
} // namespace quellon::uitest
