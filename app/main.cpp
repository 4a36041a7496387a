// SPDX-License-Identifier: GPL-3.0-or-later

// Start-up: wires the real services into the main window and runs the event loop until the window
// has been closed.
#include "DesktopLinkOpener.h"
#include "FileSystem.h"
#include "QtMessageBox.h"
#include "QtOpenFileDialog.h"
#include "frmQuellon.h"

#include <QApplication>

namespace {

// The start-up form: never displayed. Loading it shows the main window non-modally; after that it
// is gone, and the program lives as long as the main window does.
struct hidden {
    static void Form_Load(QWidget& mainWindow) { mainWindow.show(); }
};

} // namespace

int main(int argc, char* argv[])
{
    // How the desktop knows the program: on Wayland the compositor finds the menu entry, and with it
    // the window's icon, through the desktop file name; on X11 the window's class is the application
    // name, which the menu entry names as StartupWMClass. The title keeps its own "v 1.0".
    QApplication::setApplicationName(QStringLiteral("quellon"));
    QApplication::setApplicationVersion(QStringLiteral(QUELLON_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("example.quellon.Quellon"));
    QApplication app(argc, argv);
    quellon::QtMessageBox messages;
    quellon::QtOpenFileDialog dialog;
    quellon::DesktopLinkOpener links;
    quellon::PosixFileSystem files;
    quellon::frmQuellon window({messages, dialog, links, files});
    hidden::Form_Load(window);
    return QApplication::exec();
}
