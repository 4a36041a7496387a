// SPDX-License-Identifier: GPL-3.0-or-later

// Runs long enough to show the progress dialog: what it shows, that the window takes no input and
// puts off close requests meanwhile, and Cancel stopping the run after the pass under way.

#include "RunProgress.h"
#include "WindowFixture.h"
#include "WipeProgressDialog.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QInputMethodEvent>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <thread>
#include <vector>

#include <unistd.h>

namespace quellon::testing {
namespace {

using quellon::testing::PrintTo;

// The file an open descriptor of this process refers to.
std::string PathOf(int fd)
{
    char target[PATH_MAX] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t size = ::readlink(link.c_str(), target, sizeof target - 1);
    return size > 0 ? std::string(target, static_cast<std::size_t>(size)) : std::string();
}

std::string Contents(const std::string& path)
{
    QFile file(QFile::decodeName(QByteArray::fromStdString(path)));
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string("(unreadable)");
}

// After QCoreApplication::exit() outside the application's own loop, every new event loop of the UI
// thread ends at once until the application's loop has run again: run it for one turn, so that the
// tests after this one get working loops.
void ResetApplicationExit()
{
    QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
}

class ProgressTest : public WindowTest {
protected:
    QDialog* progressDialog()
    {
        for (QWidget* top : QApplication::topLevelWidgets()) {
            if (top->objectName() == QLatin1String("WipeProgress") && top->isVisible())
                return qobject_cast<QDialog*>(top);
        }
        return nullptr;
    }

    // From the worker thread: waits until the progress dialog is up, then runs `act` on it on the
    // UI thread. Returns false if the dialog never came.
    bool whenDialogUp(const std::function<void(QDialog&)>& act)
    {
        for (int tries = 0; tries < 500; ++tries) {
            bool done = false;
            OnUiThread([&] {
                if (QDialog* shown = progressDialog()) {
                    act(*shown);
                    done = true;
                }
            });
            if (done)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
};

// ApplicationExit: something asks the whole application to exit (QCoreApplication::exit), which ends
// every event loop of the UI thread, the run's own included, at once.
enum class CancelBy { Button, EscapeKey, TitleBarClose, ApplicationExit };

struct CancelRow {
    const char* name;
    CancelBy how;
    bool passFails = false; // the pass under way fails after the cancel
};

class CancelTest : public ProgressTest, public ::testing::WithParamInterface<CancelRow> {};

TEST_P(CancelTest, StopsAfterThePassUnderWayAndLeavesTheRestUntouched)
{
    constexpr int kCancelAfterPass = 3;
    const std::string first = createFile("first.txt", std::string(std::size_t{64} * 1024, 'A'));
    const std::string second = createFile("second.txt", "second");
    const std::string third = createFile("third.txt", "third");
    add({first, second, third});
    QTest::mouseClick(child<QCheckBox>("optcls"), Qt::LeftButton); // even so, the list stays
    if (GetParam().passFails)
        files.failOn({testing::FsCall::Close, kCancelAfterPass, EIO});

    int closesOfFirst = 0;
    bool dialogCame = true;
    files.beforeClose = [&](int fd) {
        if (PathOf(fd) != first || ++closesOfFirst != kCancelAfterPass)
            return;
        dialogCame = whenDialogUp([&](QDialog& shown) {
            switch (GetParam().how) {
            case CancelBy::Button:
                QTest::mouseClick(shown.findChild<QAbstractButton*>(QStringLiteral("Cancel")), Qt::LeftButton);
                break;
            case CancelBy::EscapeKey: QTest::keyClick(&shown, Qt::Key_Escape); break;
            case CancelBy::TitleBarClose: shown.windowHandle()->close(); break;
            case CancelBy::ApplicationExit: QCoreApplication::exit(0); break;
            }
        });
        // Give the UI thread time to leave the run's loop before this pass fails and the engine
        // waits on the UI thread for its error box.
        if (GetParam().how == CancelBy::ApplicationExit)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    };

    click("Delete");
    files.beforeClose = nullptr;
    if (GetParam().how == CancelBy::ApplicationExit)
        ResetApplicationExit();

    EXPECT_TRUE(dialogCame);
    EXPECT_EQ(closesOfFirst, kCancelAfterPass) << "no pass after the one under way";
    ASSERT_TRUE(Exists(first)) << "a cancelled file is not deleted";
    const std::string left = Contents(first);
    EXPECT_GE(left.size(), 64u * 1024u);
    EXPECT_EQ(left.find_first_not_of('\0'), std::string::npos) << "overwritten by the first phase's passes";
    EXPECT_EQ(Contents(second), "second");
    EXPECT_EQ(Contents(third), "third");

    ASSERT_EQ(messages.shown.size(), GetParam().passFails ? 2u : 1u) << messages.Prompts();
    if (GetParam().passFails) {
        EXPECT_EQ(messages.shown[0].title, "ERROR");
        EXPECT_NE(messages.shown[0].prompt.find(first), std::string::npos) << messages.shown[0].prompt;
    }
    const auto& closing = messages.shown.back();
    EXPECT_EQ(closing.prompt,
        "Wiping was cancelled.\r\n\r\n0 of 3 File(s) have been wiped.\r\n\r\n" +
            std::string(GetParam().passFails ? "This file could not be wiped (its error report was shown) and "
                                               "may be left partly overwritten:\r\n"
                                             : "This file was left partly overwritten (3 of 44 passes) and "
                                               "was not deleted:\r\n") +
            first + "\r\n\r\n2 entries after it were not reached.");
    EXPECT_EQ(closing.title, "Quellon");
    EXPECT_EQ(closing.flags, 0x40);
    EXPECT_EQ(closing.entries, 3);
    EXPECT_EQ(entries().size(), 3) << "a cancelled run does not empty the list";
    EXPECT_EQ(selectedRow(), 0);
    EXPECT_EQ(progressDialog(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Ways, CancelTest,
    ::testing::Values(CancelRow{"CancelButton", CancelBy::Button}, CancelRow{"EscapeKey", CancelBy::EscapeKey},
        CancelRow{"TitleBarClose", CancelBy::TitleBarClose},
        CancelRow{"ThenThePassUnderWayFails", CancelBy::Button, true},
        CancelRow{"ApplicationExitWhileTheEngineWaitsForAnErrorBox", CancelBy::ApplicationExit, true}),
    RowName<CancelRow>);

TEST_F(ProgressTest, CancelOnTheLastPassOfAFileStopsBeforeTheNextEntry)
{
    const std::string first = createFile("first.txt", "first");
    const std::string second = createFile("second.txt", "second");
    add({first, second});
    files.beforeUnlink = [&](const std::string& path) {
        if (path == first)
            whenDialogUp([](QDialog& shown) { QTest::keyClick(&shown, Qt::Key_Escape); });
    };

    click("Delete");
    files.beforeUnlink = nullptr;

    EXPECT_FALSE(Exists(first)) << "its last pass was done: it is wiped and deleted";
    EXPECT_EQ(Contents(second), "second");
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].prompt,
        "Wiping was cancelled.\r\n\r\n1 of 2 File(s) have been wiped.\r\n\r\n"
        "This file was wiped before the run stopped:\r\n" +
            first + "\r\n\r\n1 entry after it was not reached.");
    EXPECT_EQ(messages.shown[0].title, "Quellon");
    EXPECT_EQ(messages.shown[0].flags, 0x40);
}

// Entries wiped before the cancel count as wiped: the cancel box says so and, with "Clear List when
// done." ticked, they leave the list as after a run with failures.
TEST_F(ProgressTest, CancelCountsTheEntriesWipedBeforeIt)
{
    const std::string wiped = createFile("wiped.txt", "wiped");
    const std::string under = createFile("under.txt", std::string(std::size_t{64} * 1024, 'B'));
    const std::string after = createFile("after.txt", "after");
    add({wiped, under, after});
    QTest::mouseClick(child<QCheckBox>("optcls"), Qt::LeftButton);
    int closesOfUnder = 0;
    files.beforeClose = [&](int fd) {
        if (PathOf(fd) == under && ++closesOfUnder == 3)
            whenDialogUp([](QDialog& shown) { QTest::keyClick(&shown, Qt::Key_Escape); });
    };

    click("Delete");
    files.beforeClose = nullptr;

    EXPECT_FALSE(Exists(wiped));
    EXPECT_TRUE(Exists(under));
    EXPECT_EQ(Contents(after), "after");
    ASSERT_EQ(messages.shown.size(), 1u) << messages.Prompts();
    EXPECT_EQ(messages.shown[0].prompt,
        "Wiping was cancelled.\r\n\r\n1 of 3 File(s) have been wiped.\r\n\r\n"
        "This file was left partly overwritten (3 of 44 passes) and was not deleted:\r\n" +
            under +
            "\r\n\r\n1 entry after it was not reached.\r\n\r\n"
            "The wiped entries were taken off the list; the others stay on it.");
    EXPECT_EQ(messages.shown[0].entries, 2) << "taken off before the box came up";
    EXPECT_EQ(entries(), (QStringList{QString::fromStdString(under), QString::fromStdString(after)}));
}

// What the test saw of the run while it went on, sampled on the UI thread.
struct Seen {
    qint64 firstShownAfterMs = -1;
    QStringList passTexts;
    QStringList paths;
    QList<int> overall;
    QStringList amounts;
    bool pokedBeforeDialog = false;
    bool closeAcceptedBeforeDialog = false;
    bool closeAcceptedWithDialog = false;
    QString barName;
    bool selectionMovedByPoke = false;
};

// The run's progress as the dialog and quellon-wipe --progress tell it, fed with made-up times.
struct ProgressRow {
    const char* name;
    std::vector<std::uint64_t> lengths;
    struct Step {
        int entry;
        int pass;
        std::uint64_t bytesDone; // of the pass
        std::uint64_t bytesTotal;
        int atMs;
    };
    std::vector<Step> steps;
    double fraction;
    const char* text;
};

constexpr std::uint64_t kMiB = std::uint64_t{1024} * 1024;

const ProgressRow kProgress[] = {
    // A 20 kB file before a 400 MiB one: done with the small one is hardly begun, not half.
    {"SmallFileDoneWeighsLittle", {20000, 400 * kMiB}, {{1, 0, 0, 0, 200}}, 0.000156, "859.4 KiB of 17.2 GiB"},
    {"HalfOfTheBytesIsHalfTheBar", {20000, 400 * kMiB}, {{1, 23, 0, 400 * kMiB, 500}}, 0.500078, "8.6 GiB of 17.2 GiB"},
    {"EmptyFileStillMovesTheBar", {0, kMiB}, {{1, 0, 0, 0, 100}}, 0.058824, "0 bytes of 44.0 MiB"},
    // An empty file's passes write nothing: each one reported counts as done.
    {"EmptyFilesPassesCountWhole", {0, kMiB}, {{0, 22, 0, 0, 100}}, 0.029412, "0 bytes of 44.0 MiB"},
    {"SpeedAfterASecondNoEstimateYet", {512 * kMiB},
        {{0, 1, 128 * kMiB, 512 * kMiB, 1000}, {0, 1, 256 * kMiB, 512 * kMiB, 2000}}, 0.5 / 44,
        "256.0 MiB of 22.0 GiB, 128.0 MiB/s"},
    {"TimeLeftAfterAFewSeconds", {512 * kMiB}, {{0, 1, 256 * kMiB, 512 * kMiB, 2000}, {0, 2, 0, 512 * kMiB, 4000}},
        1.0 / 44, "512.0 MiB of 22.0 GiB, 128.0 MiB/s, about 3 min left"},
    {"PaceOfTheLastSecondsCounts", {512 * kMiB},
        {{0, 2, 0, 512 * kMiB, 4000}, {0, 3, 0, 512 * kMiB, 8000}, {0, 5, 0, 512 * kMiB, 12000}}, 4.0 / 44,
        "2.0 GiB of 22.0 GiB, 192.0 MiB/s, about 2 min left"}, // 1.5 GiB in the 8 s since 4 s
    {"NothingLeft", {kMiB, kMiB}, {{1, 44, kMiB, kMiB, 3000}}, 1.0,
        "88.0 MiB of 88.0 MiB, 29.3 MiB/s, less than a minute left"},
};

class RunProgressText : public ::testing::TestWithParam<ProgressRow> {};

TEST_P(RunProgressText, WeighsByBytesAndTellsTime)
{
    const ProgressRow& row = GetParam();
    const RunProgress::Clock::time_point start{};
    RunProgress progress(row.lengths, start);
    for (const ProgressRow::Step& step : row.steps)
        progress.Update(step.entry,
            {.path = {}, .pass = step.pass, .bytesDone = step.bytesDone, .bytesTotal = step.bytesTotal},
            start + std::chrono::milliseconds(step.atMs));
    EXPECT_NEAR(progress.Fraction(), row.fraction, 1e-6);
    EXPECT_EQ(progress.Text(), row.text);
}

INSTANTIATE_TEST_SUITE_P(Runs, RunProgressText, ::testing::ValuesIn(kProgress), RowName<ProgressRow>);

// The dialog is as wide as its longest line of amounts needs, in the desktop's font at any size.
class ProgressDialogFontTest : public ::testing::TestWithParam<int> {};

TEST_P(ProgressDialogFontTest, LongestAmountsFitUnclipped)
{
    const QFont before = QApplication::font();
    QFont font = before;
    font.setPointSize(GetParam());
    QApplication::setFont(font);
    {
        WipeProgressDialog dialog(nullptr);
        dialog.ShowProgress(QStringLiteral("/tmp/a.txt"), 0, 1, 44, 0.5,
            QStringLiteral("1023.9 GiB of 1023.9 GiB, 1023.9 MiB/s, about 99 h 59 min left"));
        dialog.show();
        QCoreApplication::processEvents();
        const auto* amounts = dialog.findChild<QLabel*>(QStringLiteral("amounts"));
        ASSERT_NE(amounts, nullptr);
        EXPECT_GE(amounts->width(), amounts->sizeHint().width()) << GetParam() << " pt";
        if (GetParam() <= 10 && dialog.logicalDpiY() == 96) {
            EXPECT_EQ(dialog.width(), 440) << "as before at the usual sizes";
        }
    }
    QApplication::setFont(before);
}

INSTANTIATE_TEST_SUITE_P(PointSizes, ProgressDialogFontTest, ::testing::Values(9, 10, 12, 14));

TEST_F(ProgressTest, LongRunShowsProgressWhileTheWindowTakesNoInput)
{
    const std::string first = createFile("first.bin", std::string(std::size_t{2} * 1024 * 1024, 'x'));
    const std::string second = createFile("second.bin", std::string(std::size_t{2} * 1024 * 1024, 'y'));
    add({first, second});
    // Slow every pass a little, so the run lasts well over half a second on any disk.
    files.beforeClose = [](int) { std::this_thread::sleep_for(std::chrono::milliseconds(15)); };

    // Everything a user might try during the run: none of it may act. Text from an input method
    // would otherwise move the list's selection to the next entry that starts with it.
    const auto poke = [this] {
        QTest::mouseClick(child<QAbstractButton>("Remove"), Qt::LeftButton);
        QTest::mouseClick(child<QAbstractButton>("CLEARbtn"), Qt::LeftButton);
        QTest::keyClick(list(), Qt::Key_Q, Qt::AltModifier);
        QTest::keyClick(list(), Qt::Key_R, Qt::AltModifier);
        QInputMethodEvent typed;
        typed.setCommitString(QStringLiteral("/"));
        QApplication::sendEvent(list(), &typed);
        return window->windowHandle()->close();
    };

    Seen seen;
    QElapsedTimer clock;
    QTimer sampler;
    sampler.setInterval(10);
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        QDialog* progress = progressDialog();
        if (progress == nullptr) {
            if (!seen.pokedBeforeDialog && clock.elapsed() >= 100) {
                seen.pokedBeforeDialog = true;
                const int wiping = selectedRow();
                seen.closeAcceptedBeforeDialog = poke();
                seen.selectionMovedByPoke = selectedRow() != wiping;
            }
            return;
        }
        if (seen.firstShownAfterMs < 0) {
            seen.firstShownAfterMs = clock.elapsed();
            seen.closeAcceptedWithDialog = poke();
        }
        seen.passTexts.append(progress->findChild<QLabel*>(QStringLiteral("pass"))->text());
        seen.paths.append(progress->findChild<QLabel*>(QStringLiteral("path"))->text());
        auto* bar = progress->findChild<QProgressBar*>(QStringLiteral("overall"));
        seen.overall.append(bar->value());
        seen.amounts.append(progress->findChild<QLabel*>(QStringLiteral("amounts"))->text());
        seen.barName = QAccessible::queryAccessibleInterface(bar)->text(QAccessible::Name);
    });
    clock.start();
    sampler.start();

    click("Delete");
    sampler.stop();
    files.beforeClose = nullptr;

    EXPECT_GE(seen.firstShownAfterMs, 450) << "the dialog waits about half a second";
    EXPECT_TRUE(seen.pokedBeforeDialog);
    EXPECT_FALSE(seen.closeAcceptedBeforeDialog);
    EXPECT_FALSE(seen.selectionMovedByPoke) << "the entry being wiped stays selected";
    EXPECT_FALSE(seen.closeAcceptedWithDialog);
    EXPECT_FALSE(window->isVisible()) << "the close requests were acted on once the run had ended";

    ASSERT_FALSE(seen.passTexts.isEmpty());
    const QRegularExpression passText(QStringLiteral("^pass ([1-9]|[1-3][0-9]|4[0-4]) of 44$"));
    for (const QString& text : seen.passTexts)
        EXPECT_TRUE(passText.match(text).hasMatch()) << text.toStdString();
    for (const QString& path : seen.paths)
        EXPECT_TRUE(path == QString::fromStdString(first) || path == QString::fromStdString(second))
            << path.toStdString();
    EXPECT_TRUE(std::is_sorted(seen.overall.begin(), seen.overall.end())) << "overall progress never goes back";
    // Two files of 2 MiB: 44 passes over each.
    const QRegularExpression amounts(
        QStringLiteral("^[0-9.]+ (bytes|KiB|MiB) of 176.0 MiB(, [0-9.]+ (KiB|MiB|GiB)/s)?"));
    for (const QString& text : seen.amounts)
        EXPECT_TRUE(amounts.match(text).hasMatch()) << text.toStdString();
    EXPECT_EQ(seen.barName, QStringLiteral("Wiping progress"));

    EXPECT_FALSE(Exists(first));
    EXPECT_FALSE(Exists(second));
    ASSERT_EQ(messages.shown.size(), 1u) << messages.Prompts();
    EXPECT_EQ(messages.shown[0].prompt, "All File(s) have been wiped.");
    EXPECT_EQ(entries().size(), 2);
    EXPECT_EQ(selectedRow(), 1);
    EXPECT_EQ(progressDialog(), nullptr);
}

} // namespace
} // namespace quellon::testing
