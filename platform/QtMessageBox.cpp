#include "QtMessageBox.h"

#include <QApplication>
#include <QMessageBox>

namespace quellon {

namespace {

constexpr int kButtonBits = 0x0F;
constexpr int kIconBits = 0xF0;
constexpr int kIconQuestion = 0x20;
constexpr int kIconWarning = 0x30;

QMessageBox::Icon IconFor(int flags)
{
    switch (flags & kIconBits) {
    case MB_ICONERROR:
        return QMessageBox::Critical;
    case kIconQuestion:
        return QMessageBox::Question;
    case kIconWarning:
        return QMessageBox::Warning;
    case MB_ICONINFORMATION:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
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
    QMessageBox box(QApplication::activeWindow());
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
