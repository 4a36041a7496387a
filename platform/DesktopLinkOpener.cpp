// SPDX-License-Identifier: GPL-3.0-or-later

// The "mailto:" opener on the desktop's own link handling (QDesktopServices).

#include "DesktopLinkOpener.h"

#include <QDesktopServices>
#include <QString>
#include <QUrl>

namespace quellon {

void DesktopLinkOpener::Open(const std::string& link)
{
    // With no program registered for the scheme this fails quietly; nobody needs to know.
    static_cast<void>(QDesktopServices::openUrl(QUrl(QString::fromStdString(link))));
}

} // namespace quellon
