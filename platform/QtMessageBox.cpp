// SPDX-License-Identifier: GPL-3.0-or-later

// The message box of the window and of the engine's error reports, as a modal QMessageBox.

#include "QtMessageBox.h"

#include <QApplication>
#include <QClipboard>
#include <QCoreApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QScreen>

#include <algorithm>

namespace quellon {

namespace {

constexpr int kButtonBits = 0x0F;
constexpr int kIconBits = 0xF0;
constexpr int kIconQuestion = 0x20;
constexpr int kIconWarning = 0x30;

QMessageBox::Icon IconFor(int flags)
{
    switch (flags & kIconBits) {
    case MB_ICONERROR: return QMessageBox::Critical;
    case kIconQuestion: return QMessageBox::Question;
    case kIconWarning: return QMessageBox::Warning;
    case MB_ICONINFORMATION: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
    }
}

// QMessageBox wraps its text at about 500 pixels, but every prompt here breaks its own lines: the
// error report is five lines, one of them naming a path. This box lays each line out whole and
// grows as wide as that takes, up to the width of the screen; only a line longer than that wraps.
// Ctrl+C copies the box's text, as it reads, to the clipboard (to paste a report into an email).
class LineKeepingBox final : public QMessageBox {
public:
    explicit LineKeepingBox(QWidget* parent) : QMessageBox(parent) {}

protected:
    // QMessageBox sizes itself when shown and on every layout request; this comes after it.
    bool event(QEvent* event) override
    {
        const bool handled = QMessageBox::event(event);
        if (event->type() == QEvent::LayoutRequest)
            fitLines(false);
        return handled;
    }

    void showEvent(QShowEvent* event) override
    {
        QMessageBox::showEvent(event);
        fitLines(true);
    }

    void keyPressEvent(QKeyEvent* event) override
    {
        if (event->matches(QKeySequence::Copy)) {
            QGuiApplication::clipboard()->setText(text());
            event->accept();
            return;
        }
        QMessageBox::keyPressEvent(event);
    }

private:
    void fitLines(bool keepOnScreen);
};

void LineKeepingBox::fitLines(bool keepOnScreen)
{
    auto* label = findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
    const QScreen* shownOn = screen();
    if (label == nullptr || layout() == nullptr || shownOn == nullptr || !isVisible())
        return;
    const QRect available = shownOn->availableGeometry();
    const int frame = frameGeometry().width() - geometry().width();
    const int widest = available.width() - frame;

    label->setWordWrap(false);
    layout()->activate();
    int width = std::max(layout()->totalMinimumSize().width(), this->width());
    if (width > widest) {
        width = widest;
        label->setWordWrap(true);
    }
    layout()->activate();
    const int height =
        layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(width) : layout()->totalMinimumSize().height();
    const QPoint centre = geometry().center();
    setFixedSize(width, height);
    // The size is settled: the layout requests the changes above made would only undo it.
    QCoreApplication::removePostedEvents(this, QEvent::LayoutRequest);

    if (keepOnScreen) {
        QRect placed(QPoint(0, 0), size());
        placed.moveCenter(centre);
        const int rightmost = std::max(available.left(), available.right() + 1 - width - frame);
        placed.moveLeft(std::clamp(placed.left(), available.left(), rightmost));
        placed.moveTop(std::max(placed.top(), available.top()));
        move(placed.topLeft());
    }
}

} // namespace

QString MessageBoxText(const std::string& prompt)
{
    QString text = QString::fromStdString(prompt);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return text;
}

int QtMessageBox::Show(const std::string& prompt, int flags, const std::string& title)
{
    LineKeepingBox box(QApplication::activeWindow());
    box.setWindowTitle(QString::fromStdString(title.empty() ? std::string(kApplicationTitle) : title));
    box.setTextFormat(Qt::PlainText);
    box.setText(MessageBoxText(prompt));
    box.setIcon(IconFor(flags));

    const bool yesNo = (flags & kButtonBits) == MB_YESNO;
    if (yesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        box.setEscapeButton(QMessageBox::No);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
        box.setDefaultButton(QMessageBox::Ok);
        box.setEscapeButton(QMessageBox::Ok);
    }

    box.exec();

    if (!yesNo)
        return IDOK;
    return box.clickedButton() == box.button(QMessageBox::Yes) ? IDYES : IDNO;
}

} // namespace quellon
