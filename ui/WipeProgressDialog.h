// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QDialog>

class QLabel;
class QProgressBar;
class QPushButton;

namespace quellon {

// The modal dialog of a long Wipe All run: the path being wiped, "pass N of 44", the run's overall
// progress weighed by bytes, the bytes written of all to write with the speed and the time left,
// and a Cancel button. Cancel, Escape and the title bar's close button all ask the run to
// stop after the pass under way; the dialog stays up, its button saying "Stopping...", until the
// run has stopped.
class WipeProgressDialog final : public QDialog {
    Q_OBJECT

public:
    explicit WipeProgressDialog(QWidget* parent);

    // `entry` counts from 0 among `entries`; `pass` is 1 to 44; `done` is the share of the whole run
    // done, 0 to 1; `amounts` tells the bytes, the speed and the time left.
    void ShowProgress(const QString& path, int entry, int entries, int pass, double done, const QString& amounts);

    [[nodiscard]] bool CancelRequested() const { return cancelRequested_; }

public slots:
    void reject() override;

signals:
    // Emitted once, when the user first asks the run to stop.
    void cancelRequested();

private:
    QLabel* file_ = nullptr;
    QLabel* path_ = nullptr;
    QLabel* pass_ = nullptr;
    QProgressBar* overall_ = nullptr;
    QLabel* amounts_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QString fullPath_;
    bool cancelRequested_ = false;
};

} // namespace quellon
