// SPDX-License-Identifier: GPL-3.0-or-later

// A Wipe All run around the engine: the worker thread, the window kept from input, the progress.

#include "WipeRun.h"

#include "UiThreadMessageBox.h"
#include "WipeProgressDialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFile>
#include <QFutureWatcher>
#include <QWidget>
#include <QtConcurrentRun>

#include <cerrno>
#include <functional>
#include <new>
#include <utility>

namespace quellon {

namespace {

constexpr int kTickMs = 50;

// The user's input that Qt does not deliver as a QInputEvent.
bool IsOtherInput(QEvent::Type type)
{
    switch (type) {
    case QEvent::Shortcut:
    case QEvent::InputMethod:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
    case QEvent::Gesture:
    case QEvent::GestureOverride: return true;
    default: return false;
    }
}

// What the worker hands back for one file.
struct Ended {
    WipeOutcome outcome = WipeOutcome::Failed;
    std::optional<ErrorInfo> error; // the engine threw instead of reporting
};

// Worker thread: wipes `path` and turns what the engine may throw into an error.
Ended WipeOnWorker(FileRipper& ripper, const std::string& path, WipeObserver& observer)
{
    try {
        return {ripper.Wipe(path, &observer), std::nullopt};
    } catch (const std::bad_alloc&) {
        return {WipeOutcome::Failed, ErrorInfo{ENOMEM, "Not enough memory to wipe \"" + path + "\"", "frmQuellon"}};
    } catch (const std::exception& e) {
        return {WipeOutcome::Failed, ErrorInfo{EIO, e.what(), "frmQuellon"}};
    }
}

} // namespace

void WipeRun::Observer::Progress(const WipeProgress& progress)
{
    const std::lock_guard lock(mutex_);
    latest_ = progress;
    latest_.path = {};
}

WipeProgress WipeRun::Observer::Latest() const
{
    const std::lock_guard lock(mutex_);
    return latest_;
}

void WipeRun::Observer::Reset()
{
    const std::lock_guard lock(mutex_);
    latest_ = {};
}

WipeRun::WipeRun(QWidget& window, FileRipper& ripper, UiThreadMessageBox& boxes, const std::vector<std::string>& paths)
    : window_(window), ripper_(ripper), boxes_(boxes),
      progress_(RunProgress::LengthsOf(ripper.Files(), paths), RunProgress::Clock::now())
{
    qApp->installEventFilter(this);
    elapsed_.start();
    ticker_.setInterval(kTickMs);
    connect(&ticker_, &QTimer::timeout, this, &WipeRun::Tick);
    ticker_.start();
}

WipeRun::~WipeRun()
{
    Finish();
    delete dialog_;
    qApp->removeEventFilter(this);
}

WipeOutcome WipeRun::Wipe(const std::string& path, int entry, int entries, std::optional<ErrorInfo>& error)
{
    path_ = QFile::decodeName(QByteArray::fromStdString(path));
    entry_ = entry;
    entries_ = entries;
    observer_.Reset();
    Tick();

    QEventLoop loop;
    QFutureWatcher<Ended> worker;
    connect(&worker, &QFutureWatcherBase::finished, &loop, &QEventLoop::quit);
    worker.setFuture(QtConcurrent::run(WipeOnWorker, std::ref(ripper_), path, std::ref(observer_)));
    loop.exec();
    if (!worker.isFinished()) {
        // Something else ended the loop (QCoreApplication::exit() ends every loop of the thread, and
        // until the application's own loop runs again, a new one ends at once): the application is
        // leaving. Stop after the pass under way, and keep serving events until the worker is done,
        // since it may be waiting for an error box.
        observer_.cancel = true;
        while (!worker.isFinished())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    Ended ended = worker.result();
    error = std::move(ended.error);
    return ended.outcome;
}

bool WipeRun::CancelRequested() const
{
    return observer_.cancel.load();
}

int WipeRun::PassesDone() const
{
    return observer_.Latest().pass;
}

void WipeRun::Finish()
{
    finished_ = true;
    ticker_.stop();
    if (dialog_)
        dialog_->hide();
}

void WipeRun::Tick()
{
    if (finished_)
        return;
    const WipeProgress now = observer_.Latest();
    progress_.Update(entry_, now, RunProgress::Clock::now());
    if (!dialog_) {
        if (elapsed_.elapsed() < kDialogDelayMs || boxes_.BoxUp())
            return;
        dialog_ = new WipeProgressDialog(&window_);
        connect(dialog_, &WipeProgressDialog::cancelRequested, this, [this] { observer_.cancel = true; });
    }
    dialog_->ShowProgress(path_, entry_, entries_, now.pass == 0 ? 1 : now.pass, progress_.Fraction(),
        QString::fromStdString(progress_.Text()));
    if (!dialog_->isVisible() && !boxes_.BoxUp())
        dialog_->show();
}

bool WipeRun::eventFilter(QObject* watched, QEvent* event)
{
    auto* widget = qobject_cast<QWidget*>(watched);
    if (widget == nullptr || widget->window() != &window_)
        return false;
    if (event->type() == QEvent::Close && widget == &window_) {
        event->ignore();
        return true;
    }
    return event->isInputEvent() || IsOtherInput(event->type());
}

} // namespace quellon
