// SPDX-License-Identifier: GPL-3.0-or-later

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
// - each Wipe runs FileRipper::Wipe on a worker thread (QtConcurrent::run, watched by a
//   QFutureWatcher) while the UI thread goes on handling events, so the window repaints;
// - the window takes no input (see eventFilter) and ignores close requests, so no other command
//   can start and no file is left half-handled;
// - once the run has lasted kDialogDelay, the modal progress dialog comes up (never over a message
//   box that is up) and follows the wipe, weighing each entry by its length as it was when the run
//   began; its Cancel asks the engine to stop after the pass under way.
//
// Threads: the worker may wait for the UI thread (the engine's error boxes are shown there, through
// UiThreadMessageBox, and the worker blocks until they are answered); the UI thread never waits for
// the worker. Wipe hands back only once the worker has finished, and until then the UI thread keeps
// handling events, whatever ends its local loop: when something else ends it early, such as
// QCoreApplication::exit(), the run is cancelled as by Cancel and events are still served, so a box
// the worker waits for is still shown and answered.
//
// No Q_OBJECT: WipeRun is a QObject only to filter events and to own its timer's connection; it
// declares no signals, slots or properties, and nothing casts to it or looks up its class by name.
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
    // UI thread only.
    WipeOutcome Wipe(const std::string& path, int entry, int entries, std::optional<ErrorInfo>& error);

    // Whether the user asked the run to stop.
    [[nodiscard]] bool CancelRequested() const;
    // The passes finished on the file of the last Wipe.
    [[nodiscard]] int PassesDone() const;
    // Takes the progress dialog down, before the run's closing message.
    void Finish();

protected:
    // Swallows the user's input to the main window and its controls, and its close requests. Input
    // is every QInputEvent (keys and access-key overrides, mouse buttons, moves and hovering, wheel,
    // touch, tablet, native gestures, context-menu requests) and the input Qt delivers otherwise:
    // Shortcut (access keys), InputMethod (text from an input method), DragEnter/DragMove/Drop and
    // Gesture/GestureOverride. Everything else (painting, layout, focus, timers, show and hide)
    // passes, so the window keeps drawing itself.
    // Only widgets whose window() is the main window are filtered: the progress dialog and the
    // message boxes are windows of their own (parented to it, but top-level), so they take input.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Told by the engine, on the worker thread, how the wipe goes; read by the UI thread.
    class Observer final : public WipeObserver {
    public:
        void Progress(const WipeProgress& progress) override;
        bool CancelRequested() override { return cancel.load(); }

        // The last report, without its path (which lives only as long as the call).
        WipeProgress Latest() const;
        void Reset();

        std::atomic<bool> cancel{false};

    private:
        mutable std::mutex mutex_;
        WipeProgress latest_;
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
