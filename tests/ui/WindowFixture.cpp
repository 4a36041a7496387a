// SPDX-License-Identifier: GPL-3.0-or-later

// The window tests' fixture: the window with recording fakes, and the helpers that drive it as a
// user would.

#include "WindowFixture.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QTest>
#include <QThread>

#include <sys/stat.h>

namespace quellon::testing {

int WatchingMessageBox::Show(const std::string& prompt, int flags, const std::string& title)
{
    Shown box{prompt, flags, title};
    if (look)
        look(box);
    shown.push_back(box);
    return answer;
}

std::string WatchingMessageBox::Prompts() const
{
    std::string all;
    for (const Shown& box : shown)
        all += "[" + box.title + "] " + box.prompt + "\n";
    return all;
}

::testing::AssertionResult WatchingMessageBox::ShowedOnly(
    const std::string& prompt, int flags, const std::string& title) const
{
    if (shown.size() == 1 && shown[0].prompt == prompt && shown[0].flags == flags && shown[0].title == title)
        return ::testing::AssertionSuccess();
    ::testing::AssertionResult failure = ::testing::AssertionFailure();
    failure << "wanted only [" << title << "] " << prompt << " (flags " << flags << "); shown " << shown.size()
            << " box(es):";
    for (const Shown& box : shown)
        failure << "\n[" << box.title << "] " << box.prompt << " (flags " << box.flags << ")";
    return failure;
}

namespace {
// A number of the environment, written as a decimal or a fraction ("14/9"); `otherwise` when unset.
double FromEnvironment(const char* name, double otherwise)
{
    const QStringList parts = qEnvironmentVariable(name).split(QLatin1Char('/'));
    return parts.constFirst().isEmpty()
        ? otherwise
        : parts.constFirst().toDouble() / parts.value(1, QStringLiteral("1")).toDouble();
}
} // namespace

double ExpectedScale()
{
    return FromEnvironment("QUELLON_TEST_SCALE", 1);
}
double ExpectedPixelRatio()
{
    return FromEnvironment("QUELLON_TEST_PIXEL_RATIO", 1);
}

void ScriptedDialog::ShowOpen()
{
    uses.push_back({DialogTitle, Flags, Filter});
    fileName_.clear();
    if (!answers.empty()) {
        fileName_ = answers.front();
        answers.pop_front();
    }
}

void WindowTest::SetUp()
{
    ASSERT_TRUE(dir.isValid());
    window = std::make_unique<frmQuellon>(WindowServices{messages, dialog, links, files});
    messages.look = [this](WatchingMessageBox::Shown& box) {
        box.entries = list()->count();
        box.selectedRow = selectedRow();
    };
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
}

void WindowTest::TearDown()
{
    messages.look = nullptr;
    window.reset();
}

QListWidget* WindowTest::list()
{
    return child<QListWidget>("List1");
}

void WindowTest::click(const char* buttonName)
{
    auto* button = child<QAbstractButton>(buttonName);
    ASSERT_NE(button, nullptr);
    QTest::mouseClick(button, Qt::LeftButton);
}

void WindowTest::add(const std::vector<std::string>& paths)
{
    for (const std::string& path : paths) {
        dialog.answers.push_back(path);
        click("BROWSE");
    }
}

void WindowTest::selectRow(int row)
{
    QListWidget* queue = list();
    QListWidgetItem* item = queue->item(row);
    ASSERT_NE(item, nullptr);
    queue->scrollToItem(item);
    QTest::mouseClick(queue->viewport(), Qt::LeftButton, Qt::NoModifier, queue->visualItemRect(item).center());
}

QStringList WindowTest::entries()
{
    QStringList texts;
    for (int row = 0; row < list()->count(); ++row)
        texts.append(list()->item(row)->text());
    return texts;
}

int WindowTest::selectedRow()
{
    const QList<QListWidgetItem*> selected = list()->selectedItems();
    return selected.isEmpty() ? -1 : list()->row(selected.constFirst());
}

std::string WindowTest::pathFor(const std::string& name) const
{
    return QFile::encodeName(dir.path()).toStdString() + "/" + name;
}

std::string WindowTest::createFile(const std::string& name, const std::string& contents)
{
    std::string path = pathFor(name);
    QFile file(QFile::decodeName(QByteArray::fromStdString(path)));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) << path;
    EXPECT_EQ(file.write(contents.data(), static_cast<qint64>(contents.size())), static_cast<qint64>(contents.size()));
    return path;
}

void OnUiThread(const std::function<void()>& work)
{
    if (QThread::currentThread() == qApp->thread())
        work();
    else
        QMetaObject::invokeMethod(qApp, work, Qt::BlockingQueuedConnection);
}

bool Exists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

} // namespace quellon::testing
