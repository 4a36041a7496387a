// SPDX-License-Identifier: GPL-3.0-or-later

// The Qt stand-ins for the desktop's services, shown for real under the offscreen platform: each
// modal box or dialog is found as the active modal widget, copied, answered, and only checked
// after it has closed.

#include "WindowFixture.h"

#include "ErrorReport.h"
#include "QtMessageBox.h"
#include "QtOpenFileDialog.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDirIterator>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

namespace quellon::testing {
namespace {

using quellon::testing::PrintTo;

// Waits for a modal widget of type Dialog to come up while the code under test blocks in its event
// loop, and hands it to `answer`, which must close it.
template <typename Dialog>
class ModalAnswerer {
public:
    explicit ModalAnswerer(std::function<void(Dialog&)> answer) : answer_(std::move(answer))
    {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
                dialog && dialog->isVisible()) {
                timer_.stop();
                answered_ = true;
                answer_(*dialog);
            }
        });
        timer_.start();
    }

    [[nodiscard]] bool answered() const { return answered_; }

private:
    std::function<void(Dialog&)> answer_;
    QTimer timer_;
    bool answered_ = false;
};

enum class Answer { Ok, Yes, No, Enter, Escape };

struct BoxRow {
    const char* name;
    std::string prompt;
    int flags;
    std::string title;
    Answer answer;
    QString shownText;
    QString shownTitle;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton;
    int result;
};

const BoxRow kBoxes[] = {
    {"ErrorWithoutTitleCarriesTheProgramsTitle", "There is nothing to delete.", 0x10, "", Answer::Ok,
        QStringLiteral("There is nothing to delete."), QStringLiteral("Quellon"), QMessageBox::Critical,
        QMessageBox::Ok, QMessageBox::Ok, IDOK},
    {"InformationKeepsItsTitle", "All File(s) have been wiped.", 0x40, "DONE", Answer::Enter,
        QStringLiteral("All File(s) have been wiped."), QStringLiteral("DONE"), QMessageBox::Information,
        QMessageBox::Ok, QMessageBox::Ok, IDOK},
    {"CrLfBreaksLinesAndTabsStay", "one\r\ntwo\r\n\r\n\tthree", 0x10, "ERROR", Answer::Escape,
        QStringLiteral("one\ntwo\n\n\tthree"), QStringLiteral("ERROR"), QMessageBox::Critical, QMessageBox::Ok,
        QMessageBox::Ok, IDOK},
    {"MarkupIsShownAsText", "<b>x</b> & <i>y</i>", 0x40, "t", Answer::Ok, QStringLiteral("<b>x</b> & <i>y</i>"),
        QStringLiteral("t"), QMessageBox::Information, QMessageBox::Ok, QMessageBox::Ok, IDOK},
    {"YesNoAnsweredYes", "Are you sure you want to quit?", 4, "Quellon", Answer::Yes,
        QStringLiteral("Are you sure you want to quit?"), QStringLiteral("Quellon"), QMessageBox::NoIcon,
        QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes, IDYES},
    {"YesNoAnsweredNo", "Sure?", 4, "", Answer::No, QStringLiteral("Sure?"), QStringLiteral("Quellon"),
        QMessageBox::NoIcon, QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes, IDNO},
    {"YesNoEnterIsYes", "Sure?", 4, "Q", Answer::Enter, QStringLiteral("Sure?"), QStringLiteral("Q"),
        QMessageBox::NoIcon, QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes, IDYES},
    {"YesNoEscapeIsNo", "Sure?", 4, "Q", Answer::Escape, QStringLiteral("Sure?"), QStringLiteral("Q"),
        QMessageBox::NoIcon, QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes, IDNO},
};

class RealMessageBox : public ::testing::TestWithParam<BoxRow> {};

TEST_P(RealMessageBox, ShowsWhatItWasAskedAndAnswersWithTheButtonPressed)
{
    const BoxRow& row = GetParam();
    struct Seen {
        QString text, title;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
        Qt::TextFormat format = Qt::AutoText;
    } seen;

    ModalAnswerer<QMessageBox> answerer([&](QMessageBox& box) {
        seen.text = box.text();
        seen.title = box.windowTitle();
        seen.icon = box.icon();
        seen.buttons = box.standardButtons();
        if (box.defaultButton() != nullptr)
            seen.defaultButton = box.standardButton(box.defaultButton());
        seen.format = box.textFormat();
        switch (row.answer) {
        case Answer::Ok: QTest::mouseClick(box.button(QMessageBox::Ok), Qt::LeftButton); break;
        case Answer::Yes: QTest::mouseClick(box.button(QMessageBox::Yes), Qt::LeftButton); break;
        case Answer::No: QTest::mouseClick(box.button(QMessageBox::No), Qt::LeftButton); break;
        case Answer::Enter: QTest::keyClick(&box, Qt::Key_Return); break;
        case Answer::Escape: QTest::keyClick(&box, Qt::Key_Escape); break;
        }
        if (box.isVisible()) // never leave a box up behind a failed answer
            box.done(QMessageBox::Cancel);
    });
    QtMessageBox messages;
    const int result = messages.Show(row.prompt, row.flags, row.title);

    ASSERT_TRUE(answerer.answered());
    EXPECT_EQ(seen.text, row.shownText);
    EXPECT_EQ(seen.title, row.shownTitle);
    EXPECT_EQ(seen.icon, row.icon);
    EXPECT_EQ(seen.buttons, row.buttons);
    EXPECT_EQ(seen.defaultButton, row.defaultButton);
    EXPECT_EQ(seen.format, Qt::PlainText);
    EXPECT_EQ(result, row.result);
}

INSTANTIATE_TEST_SUITE_P(Boxes, RealMessageBox, ::testing::ValuesIn(kBoxes), RowName<BoxRow>);

// How `label`'s text is laid out, wrapping where it must, in the width the label has: the lines
// and the height it takes, asked of a label set up like it (the line height learnt from one and two
// lines).
struct LaidOut {
    int lines = -1;
    int height = 0;
};

LaidOut LayOut(const QLabel& label)
{
    QLabel probe;
    probe.setFont(label.font());
    probe.setTextFormat(label.textFormat());
    probe.setTextInteractionFlags(label.textInteractionFlags());
    probe.setContentsMargins(label.contentsMargins());
    probe.setMargin(label.margin());
    probe.setIndent(label.indent());
    probe.setWordWrap(true);
    const auto heightOf = [&](const QString& text) {
        probe.setText(text);
        return probe.heightForWidth(label.width());
    };
    const int one = heightOf(QStringLiteral("x"));
    const int line = heightOf(QStringLiteral("x\nx")) - one;
    const int height = heightOf(label.text());
    return {line > 0 ? (height - one + line / 2) / line + 1 : -1, height};
}

// A description that makes the report's first line about `pixels` wide in the box's font.
std::string DescriptionOfWidth(int pixels)
{
    const QFontMetrics metrics(QApplication::font("QMessageBox"));
    std::string path = "/media/someone/Documents/Secret Project";
    const auto line = [&] { return "Error description: Cannot open \"" + path + "\" for writing: Permission denied"; };
    while (metrics.horizontalAdvance(QString::fromStdString(line())) < pixels)
        path += "/quarterly-figures";
    return line().substr(std::string("Error description: ").size());
}

TEST(RealMessageBox, ShowsTheErrorReportAsFiveLines)
{
    const int screenWidth = QGuiApplication::primaryScreen()->availableGeometry().width();
    struct Report {
        const char* name;
        std::string description;
        bool longerThanTheScreen;
    };
    const Report reports[] = {
        {"MarkupAsText", "File <not> found", false},
        {"PathWiderThanQtsWrap", DescriptionOfWidth(std::min(600, screenWidth - 200)), false},
        {"PathWiderThanTheScreen", DescriptionOfWidth(screenWidth * 3 / 2), true},
    };
    for (const Report& report : reports) {
        SCOPED_TRACE(report.name);
        QString shown;
        QString title;
        LaidOut laidOut;
        bool labelHoldsItAll = false;
        bool boxOnScreen = false;
        ModalAnswerer<QMessageBox> answerer([&](QMessageBox& box) {
            shown = box.text();
            title = box.windowTitle();
            if (const auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
                laidOut = LayOut(*label);
                labelHoldsItAll = laidOut.height <= label->height() && box.rect().contains(label->geometry());
            }
            boxOnScreen = box.screen()->availableGeometry().contains(box.frameGeometry());
            QTest::keyClick(&box, Qt::Key_Return);
        });
        QtMessageBox messages;
        ShowErrorReport(messages, ErrorInfo{-53, report.description, "FileRipper"});

        ASSERT_TRUE(answerer.answered());
        EXPECT_EQ(title, QStringLiteral("ERROR"));
        const QStringList texts = shown.split(QLatin1Char('\n'));
        ASSERT_EQ(texts.size(), 5) << shown.toStdString();
        EXPECT_EQ(texts[0], QStringLiteral("Error description: ") + QString::fromStdString(report.description));
        EXPECT_EQ(texts[1], QStringLiteral("Error Source: FileRipper"));
        EXPECT_EQ(texts[2], QStringLiteral("Error Number: -53"));
        EXPECT_EQ(texts[3], QString());
        EXPECT_TRUE(texts[4].startsWith(QLatin1Char('\t'))) << texts[4].toStdString();
        EXPECT_TRUE(texts[4].endsWith(QLatin1String(kSupportAddress))) << texts[4].toStdString();

        // What the user sees: five lines, none wrapped, unless a line is wider than the screen.
        if (report.longerThanTheScreen)
            EXPECT_GT(laidOut.lines, 5);
        else
            EXPECT_EQ(laidOut.lines, 5);
        EXPECT_TRUE(labelHoldsItAll);
        EXPECT_TRUE(boxOnScreen);
    }
}

struct FilterRow {
    const char* name;
    const char* filter;
    QStringList expected;
};

const FilterRow kFilters[] = {
    {"StarDotStarMeansEveryFile", "All Files(*.*)|*.*", {QStringLiteral("All Files(*.*) (*)")}},
    {"SeveralPairsAndGlobs", "Text|*.txt;*.log|All|*.*",
        {QStringLiteral("Text (*.txt *.log)"), QStringLiteral("All (*)")}},
    {"OnlyAWholeStarDotStarIsWidened", "Backups|*.*.bak", {QStringLiteral("Backups (*.*.bak)")}},
    {"DescriptionWithoutPatternIsDropped", "Text|*.txt|Orphan", {QStringLiteral("Text (*.txt)")}},
    {"EmptyFilterGivesNoFilter", "", {}},
};

class FilterTranslation : public ::testing::TestWithParam<FilterRow> {};

TEST_P(FilterTranslation, GivesQtsForm)
{
    EXPECT_EQ(QtNameFilters(GetParam().filter), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Filters, FilterTranslation, ::testing::ValuesIn(kFilters), RowName<FilterRow>);

// One use of the real dialog: what it showed, and the FileName it reported afterwards.
struct DialogUse {
    QString title;
    QStringList filters;
    QFileDialog::FileMode mode = QFileDialog::AnyFile;
    QString folder;
    std::string fileName;
};

DialogUse UseDialog(QtOpenFileDialog& dialog, const std::function<void(QFileDialog&)>& answer)
{
    DialogUse use;
    ModalAnswerer<QFileDialog> answerer([&](QFileDialog& shown) {
        use.title = shown.windowTitle();
        use.filters = shown.nameFilters();
        use.mode = shown.fileMode();
        use.folder = shown.directory().absolutePath();
        answer(shown);
        if (shown.isVisible())
            shown.reject();
    });
    dialog.ShowOpen();
    EXPECT_TRUE(answerer.answered());
    use.fileName = dialog.FileName();
    return use;
}

// Types `name` into the dialog's file name box and presses Enter, as a user choosing a file does;
// false when the dialog has no such box.
bool TypeAndOpen(QFileDialog& shown, const QString& name)
{
    auto* edit = shown.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    if (edit == nullptr)
        return false;
    edit->setText(name);
    QTest::keyClick(edit, Qt::Key_Return);
    return true;
}

TEST(RealOpenFileDialog, ReportsTheChoiceReopensInItsFolderAndForgetsItOnCancel)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString chosen = dir.filePath(QStringLiteral("chosen.txt"));
    {
        QFile file(chosen);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::NewOnly));
    }
    QtOpenFileDialog dialog;
    dialog.DialogTitle = "File Explorer";
    dialog.Flags = OFN_EXPLORER;
    dialog.Filter = "All Files(*.*)|*.*";

    const DialogUse pick = UseDialog(dialog, [&](QFileDialog& shown) { EXPECT_TRUE(TypeAndOpen(shown, chosen)); });
    const DialogUse typed = UseDialog(
        dialog, [](QFileDialog& shown) { EXPECT_TRUE(TypeAndOpen(shown, QStringLiteral("not yet there.txt"))); });
    const DialogUse cancel = UseDialog(dialog, [](QFileDialog& shown) { QTest::keyClick(&shown, Qt::Key_Escape); });

    EXPECT_EQ(pick.title, QStringLiteral("File Explorer"));
    EXPECT_EQ(pick.filters, QStringList{QStringLiteral("All Files(*.*) (*)")});
    EXPECT_EQ(pick.mode, QFileDialog::AnyFile);
    EXPECT_EQ(pick.fileName, QFile::encodeName(chosen).toStdString());

    EXPECT_EQ(typed.folder, dir.path()) << "opens in the folder of the last file chosen";
    EXPECT_EQ(typed.fileName, QFile::encodeName(dir.filePath(QStringLiteral("not yet there.txt"))).toStdString());
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("not yet there.txt"))));

    EXPECT_EQ(cancel.folder, dir.path());
    EXPECT_EQ(cancel.fileName, "") << "a cancel never brings back an earlier choice";
}

// Every file and folder under `folder`, hidden ones too.
std::vector<std::string> Everything(const QString& folder)
{
    std::vector<std::string> found;
    QDirIterator walk(
        folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (walk.hasNext())
        found.push_back(QFile::encodeName(walk.next()).toStdString());
    return found;
}

TEST(RealOpenFileDialog, ASessionLeavesNothingInTheUsersFolders)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QStringList folders = {QStringLiteral("home"), QStringLiteral("config"), QStringLiteral("data"),
        QStringLiteral("cache"), QStringLiteral("state")};
    for (const QString& folder : folders)
        ASSERT_TRUE(QDir(dir.path()).mkpath(folder));
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("Secret Project")));
    const QString secret = dir.filePath(QStringLiteral("Secret Project/plans.txt"));
    {
        QFile file(secret);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::NewOnly));
        ASSERT_EQ(file.write("the plans"), 9);
    }

    // A session of its own, whose home, config, data, cache and state folders are the empty ones above.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), dir.filePath(QStringLiteral("home")));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), dir.filePath(QStringLiteral("cache")));
    environment.insert(QStringLiteral("XDG_STATE_HOME"), dir.filePath(QStringLiteral("state")));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QProcess session;
    session.setProcessEnvironment(environment);
    session.start(QCoreApplication::applicationFilePath(), {QLatin1String(kSessionSwitch), secret});
    ASSERT_TRUE(session.waitForFinished(45000)) << "the session did not end";

    EXPECT_EQ(session.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(session.exitCode(), 0) << session.readAllStandardError().toStdString();
    EXPECT_FALSE(QFileInfo::exists(secret));
    for (const QString& folder : folders)
        EXPECT_EQ(Everything(dir.filePath(folder)), std::vector<std::string>()) << folder.toStdString();
}

TEST(RealOpenFileDialog, FileMustExistAsksForAnExistingFile)
{
    QtOpenFileDialog dialog;
    dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST;
    const DialogUse use = UseDialog(dialog, [](QFileDialog& shown) { shown.reject(); });
    EXPECT_EQ(use.mode, QFileDialog::ExistingFile);
    EXPECT_EQ(use.fileName, "");
}

int Fail(const char* why)
{
    std::cerr << why << std::endl;
    return 1;
}

} // namespace

int RunSession(const QString& path)
{
    QtMessageBox messages;
    QtOpenFileDialog dialog;
    RecordingLinkOpener links;
    PosixFileSystem files;
    frmQuellon window(WindowServices{messages, dialog, links, files});
    window.show();
    window.activateWindow();
    if (!QTest::qWaitForWindowActive(&window))
        return Fail("The window did not become active.");
    const auto press = [&](const char* name) {
        QTest::mouseClick(window.findChild<QAbstractButton*>(QLatin1String(name)), Qt::LeftButton);
    };

    {
        ModalAnswerer<QFileDialog> chooser([&](QFileDialog& shown) { TypeAndOpen(shown, path); });
        press("BROWSE");
        if (!chooser.answered())
            return Fail("The open-file dialog did not come up.");
    }
    const auto* queue = window.findChild<QListWidget*>(QStringLiteral("List1"));
    if (queue->count() != 1 || queue->item(0)->text() != path)
        return Fail("The chosen file was not queued.");

    QString closing;
    {
        ModalAnswerer<QMessageBox> done([&](QMessageBox& box) {
            closing = box.text();
            QTest::keyClick(&box, Qt::Key_Return);
        });
        press("Delete");
    }
    if (closing != QStringLiteral("All File(s) have been wiped.") || QFileInfo::exists(path))
        return Fail("The file was not wiped.");

    {
        ModalAnswerer<QMessageBox> quit(
            [](QMessageBox& box) { QTest::mouseClick(box.button(QMessageBox::Yes), Qt::LeftButton); });
        press("Quit");
    }
    if (window.isVisible())
        return Fail("The window did not close on Quit.");
    return 0;
}

} // namespace quellon::testing
