#pragma once

#include "ErrorInfo.h"
#include "FileRipper.h"
#include "RunProgress.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class QWidget;

namespace quellon {

class UiThreadMessageBox;
class WipeProgressDialog;

// What a Wipe All run needs around the engine so that the window never looks hung. For as long as
// the object lives:
// - each Wipe runs FileRipper::Wipe on a worker thread while the UI thread goes on handling events,
//   so the window repaints;
// - the window takes no input (mouse, keys, access keys) and ignores close requests, so no other
//   command can start and no file is left half-handled;
// - once the run has lasted kDialogDelay, the modal progress dialog comes up (never over a message
//   box that is up) and follows the wipe, weighing each entry by its length as it was when the run
//   began; its Cancel asks the engine to stop after the pass under way.
class WipeRun final : public QObject {
public:
    static constexpr int kDialogDelayMs = 500;

    // `paths`: every entry of the run, in order; their lengths are taken here.
    WipeRun(QWidget& window, FileRipper& ripper, UiThreadMessageBox& boxes, const std::vector<std::string>& paths);
    ~WipeRun() override;

    WipeRun(const WipeRun&) = delete;
    WipeRun& operator=(const WipeRun&) = delete;

    // Wipes `path`, entry `entry` (from 0) of `entries`, and returns how that ended once the worker
    // is done. If the engine threw instead, the failure is in `error` and the outcome is Failed.
    WipeOutcome Wipe(const std::string& path, int entry, int entries, std::optional<ErrorInfo>& error);

    // Whether the user asked the run to stop.
    [[nodiscard]] bool CancelRequested() const;
    // The passes finished on the file of the last Wipe.
    [[nodiscard]] int PassesDone() const;
    // Takes the progress dialog down, before the run's closing message.
    void Finish();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Told by the engine, on the worker thread, how the wipe goes; read by the UI thread.
    class Observer final : public WipeObserver {
    public:
        void Progress(const WipeProgress& progress) override;
        bool CancelRequested() override { return cancel.load(); }

        struct Snapshot {
            int pass = 0;
            double passDone = 0;
        };
        Snapshot Latest() const;
        void Reset();

        std::atomic<bool> cancel{false};

    private:
        mutable std::mutex mutex_;
        Snapshot latest_;
    };

    void Tick();

    QWidget& window_;
    FileRipper& ripper_;
    UiThreadMessageBox& boxes_;
    Observer observer_;
    QPointer<WipeProgressDialog> dialog_;
    QTimer ticker_;
    QElapsedTimer elapsed_;
    RunProgress progress_;
    QString path_;
    int entry_ = 0;
    int entries_ = 0;
    bool finished_ = false;
};

} // namespace quellon
