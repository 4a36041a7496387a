#include "WipeRun.h"

#include "UiThreadMessageBox.h"
#include "WipeProgressDialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFile>
#include <QWidget>

#include <cerrno>
#include <new>
#include <thread>

namespace quellon {

namespace {

constexpr int kTickMs = 50;

bool IsUserInput(QEvent::Type type)
{
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    case QEvent::Drop:
        return true;
    default:
        return false;
    }
}

} // namespace

void WipeRun::Observer::Progress(const WipeProgress& progress)
{
    const double passDone = progress.bytesTotal == 0
                                ? 1.0
                                : static_cast<double>(progress.bytesDone) / static_cast<double>(progress.bytesTotal);
    const std::lock_guard lock(mutex_);
    latest_ = {progress.pass, passDone};
}

WipeRun::Observer::Snapshot WipeRun::Observer::Latest() const
{
    const std::lock_guard lock(mutex_);
    return latest_;
}

void WipeRun::Observer::Reset()
{
    const std::lock_guard lock(mutex_);
    latest_ = {};
}

WipeRun::WipeRun(QWidget& window, FileRipper& ripper, UiThreadMessageBox& boxes,
                 const std::vector<std::string>& paths)
    : window_(window), ripper_(ripper), boxes_(boxes),
      progress_(RunProgress::LengthsOf(paths), RunProgress::Clock::now())
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

    WipeOutcome outcome = WipeOutcome::Failed;
    QEventLoop loop;
    std::thread worker([&] {
        try {
            outcome = ripper_.Wipe(path, &observer_);
        } catch (const std::bad_alloc&) {
            error = ErrorInfo{ENOMEM, "Not enough memory to wipe \"" + path + "\"", "frmQuellon"};
        } catch (const std::exception& e) {
            error = ErrorInfo{EIO, e.what(), "frmQuellon"};
        }
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    return outcome;
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
    const Observer::Snapshot now = observer_.Latest();
    progress_.Update(entry_, now.pass, now.passDone, RunProgress::Clock::now());
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
    if (widget == nullptr || (widget != &window_ && !window_.isAncestorOf(widget)))
        return false;
    if (event->type() == QEvent::Close && widget == &window_) {
        event->ignore();
        return true;
    }
    return IsUserInput(event->type());
}

} // namespace quellon
