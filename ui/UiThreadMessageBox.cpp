// SPDX-License-Identifier: GPL-3.0-or-later

// Message boxes asked for on any thread, shown on the UI thread.

#include "UiThreadMessageBox.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>

namespace quellon {

int UiThreadMessageBox::Show(const std::string& prompt, int flags, const std::string& title)
{
    if (QThread::currentThread() == context_.thread())
        return ShowHere(prompt, flags, title);
    int answer = IDOK;
    QMetaObject::invokeMethod(
        &context_, [&] { answer = ShowHere(prompt, flags, title); }, Qt::BlockingQueuedConnection);
    return answer;
}

int UiThreadMessageBox::ShowHere(const std::string& prompt, int flags, const std::string& title)
{
    ++open_;
    const int answer = boxes_.Show(prompt, flags, title);
    --open_;
    return answer;
}

} // namespace quellon
