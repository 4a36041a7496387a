// SPDX-License-Identifier: GPL-3.0-or-later

// The modal progress dialog of a long Wipe All run.

#include "WipeProgressDialog.h"

#include "FileRipper.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace quellon {

namespace {
constexpr int kWidth = 440; // at least; wider where the font needs it
constexpr int kSteps = 1000;
// The longest line of amounts a run can show, which must fit in the dialog.
constexpr const char* kLongestAmounts = "1023.9 GiB of 1023.9 GiB, 1023.9 MiB/s, about 99 h 59 min left";
} // namespace

WipeProgressDialog::WipeProgressDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("WipeProgress"));
    setWindowTitle(QString::fromLatin1(kApplicationTitle));
    setWindowModality(Qt::ApplicationModal);
    setWindowRole(QStringLiteral("progress")); // how the window system tells it from the message boxes

    file_ = new QLabel(this);
    file_->setObjectName(QStringLiteral("entry"));
    path_ = new QLabel(this);
    path_->setObjectName(QStringLiteral("path"));
    path_->setTextFormat(Qt::PlainText);
    pass_ = new QLabel(this);
    pass_->setObjectName(QStringLiteral("pass"));
    overall_ = new QProgressBar(this);
    overall_->setObjectName(QStringLiteral("overall"));
    overall_->setRange(0, kSteps);
    overall_->setAccessibleName(QStringLiteral("Wiping progress"));
    amounts_ = new QLabel(this);
    amounts_->setObjectName(QStringLiteral("amounts"));
    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    cancel_->setObjectName(QStringLiteral("Cancel"));
    cancel_->setAutoDefault(false);
    connect(cancel_, &QPushButton::clicked, this, &WipeProgressDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cancel_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(file_);
    layout->addWidget(path_);
    layout->addWidget(pass_);
    layout->addWidget(overall_);
    layout->addWidget(amounts_);
    layout->addLayout(buttons);
    // The longest line measured as the label lays it out: at a fractional font size (a scaled screen,
    // a large font) the sum of whole-pixel advances can fall a pixel short of it.
    amounts_->setText(QLatin1String(kLongestAmounts));
    const QMargins margins = layout->contentsMargins();
    setFixedWidth(std::max(kWidth, amounts_->sizeHint().width() + margins.left() + margins.right()));
    amounts_->clear();
}

void WipeProgressDialog::ShowProgress(
    const QString& path, int entry, int entries, int pass, double done, const QString& amounts)
{
    file_->setText(QStringLiteral("Wiping entry %1 of %2:").arg(entry + 1).arg(entries));
    if (path != fullPath_) {
        fullPath_ = path;
        path_->setText(
            fontMetrics().elidedText(path, Qt::ElideMiddle, width() - 2 * layout()->contentsMargins().left()));
        path_->setToolTip(path);
    }
    pass = std::clamp(pass, 1, FileRipper::kPasses);
    pass_->setText(QStringLiteral("pass %1 of %2").arg(pass).arg(FileRipper::kPasses));
    overall_->setValue(std::max(overall_->value(), static_cast<int>(std::lround(std::clamp(done, 0.0, 1.0) * kSteps))));
    amounts_->setText(amounts);
}

void WipeProgressDialog::reject()
{
    if (cancelRequested_)
        return;
    cancelRequested_ = true;
    cancel_->setEnabled(false);
    cancel_->setText(QStringLiteral("Stopping..."));
    emit cancelRequested();
}

} // namespace quellon
