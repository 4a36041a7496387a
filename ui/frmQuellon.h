// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// frmQuellon, the program's one window.
//
// Start-up (app/) builds the real services, creates this window and shows it; closing the window,
// by "&Quit" answered Yes or by the window manager, ends the program. Loading the window
// (Form_Load) creates the one FileRipper, kept in Ripper for the window's whole life.
//
// The wipe queue is the content of List1: paths in the order added, duplicates allowed, never an
// empty one. "Add..." (BROWSE_Click) appends the path chosen in the open-file dialog File,
// "&Remove..." (Remove_Click) takes out the selected entry, "Clear" (CLEARbtn_Click) empties the
// list; none of them touches a file. "&Wipe All" (Delete_Click) selects each entry in turn, top to
// bottom, and hands its path to Ripper, which overwrites and deletes the file or shows the error
// report itself; an entry whose path was already wiped earlier in the same run counts as wiped
// without being touched again. When every entry was wiped, the run empties the list if optcls is
// ticked and says so; otherwise it says how many were wiped, names those that were not and, with
// optcls ticked, takes only the wiped entries off the list.
//
// While a run wipes, the engine works on a worker thread and the window keeps repainting but takes
// no input; a run that lasts more than half a second shows a modal progress dialog whose Cancel
// stops the run after the pass under way (WipeRun). The engine's error reports still come up on the
// UI thread, one modal box at a time.
//
// The window fits the desktop it runs on: the controls without a face of their own share one
// default font, the desktop's, chosen once at the largest size (and width) at which all their
// captions fit; the emphasised captions keep 9.75 pt. On a dark palette the red warning and the blue
// address turn lighter (or the address takes the palette's link colour) so that they still read.
// The picture is drawn from artwork made for the screen's scale, and the window is centred but
// never placed with its title bar off the screen. Screen readers get names for the list, the
// picture and the address, which they can also follow as a link.
//
// The message box, the open-file dialog, the "mailto:" opener and the file system come in through
// WindowServices, so tests put recording fakes in their place. Every handler runs on the UI thread;
// every box and dialog is modal, so no handler starts while another is still running.

#include "FileRipper.h"
#include "FileSystem.h"
#include "LinkOpener.h"
#include "MessageBox.h"
#include "OpenFileDialog.h"
#include "UiThreadMessageBox.h"

#include <QColor>
#include <QList>
#include <QPoint>
#include <QRect>
#include <QStringList>
#include <QWidget>

#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QGroupBox;
class QLabel;
class QListWidget;
class QPushButton;

namespace quellon {

// Where a window whose frame (title bar included) has size `frame` goes on a screen whose free area
// is `available`: centred, but moved back inside so the title bar is never off-screen; a window
// larger than the area keeps its top-left corner at the area's.
[[nodiscard]] QPoint CentredOnScreen(const QRect& available, const QSize& frame);

// The contrast between two colours as WCAG 2 defines it, from 1:1 to 21:1.
[[nodiscard]] double ContrastRatio(const QColor& a, const QColor& b);

// What the window uses of the desktop and the disk. Each must outlive the window.
struct WindowServices {
    MessageBox& messages; // every message box of the window and of Ripper
    OpenFileDialog& File; // the dialog behind "Add..."
    LinkOpener& links;    // opens the contact label's "mailto:" link
    FileSystem& files;    // what Ripper wipes through
};

class frmQuellon final : public QWidget {
    Q_OBJECT

public:
    explicit frmQuellon(const WindowServices& services, QWidget* parent = nullptr);
    ~frmQuellon() override;

    frmQuellon(const frmQuellon&) = delete;
    frmQuellon& operator=(const frmQuellon&) = delete;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void Form_Load();
    void BROWSE_Click();
    void Remove_Click();
    void CLEARbtn_Click();
    void Delete_Click();
    void Quit_Click();
    void Label4_Click();

    // The text of the selected entry of List1, or the empty string when none is selected.
    // After the last entry of a run: the closing box, and with "Clear List when done." ticked the
    // wiped entries (rows `wipedRows`, ascending) taken off the list.
    void EndOfRun(const QList<int>& wipedRows, const QStringList& notWiped);
    [[nodiscard]] QString ListText() const;
    // Every entry of List1, top to bottom, as the paths handed to the engine.
    [[nodiscard]] std::vector<std::string> QueuePaths() const;

    // The title, and the icon drawn for screens scaled by 1, 2 and 3.
    void SetTitleAndIcon();
    // Every control in its place, with its caption, inside a window of fixed size (laid out in twips).
    void BuildLayout();
    // What a screen reader calls the list, the picture and the address.
    void NameForScreenReaders();
    // Tab's way through the controls, starting from the list, which takes the focus.
    void OrderTabStops();
    // The buttons' and the address's clicks to their handlers.
    void WireHandlers();
    // The window's fonts: one default font for the controls without a face of their own, chosen so
    // that all their captions fit, and the 9.75 pt face of the emphasised captions.
    void ApplyFonts();
    // The red warning and the blue address, or lighter ones that read on a dark background.
    void ApplyTextColours();
    // Keeps the title bar on the screen once the window manager has framed the window.
    void KeepOnScreen();

    MessageBox& messages_;
    UiThreadMessageBox engineMessages_; // what Ripper reports through, from its worker thread
    OpenFileDialog& File;
    LinkOpener& links_;
    FileSystem& files_;
    std::unique_ptr<FileRipper> Ripper;

    QLabel* Label1 = nullptr;
    QListWidget* List1 = nullptr;
    QGroupBox* Frame2 = nullptr;
    QPushButton* Remove = nullptr;
    QPushButton* BROWSE = nullptr;
    QPushButton* CLEARbtn = nullptr;
    QGroupBox* Frame3 = nullptr;
    QPushButton* Delete = nullptr;
    QGroupBox* Frame4 = nullptr;
    QPushButton* Quit = nullptr;
    QLabel* Label2 = nullptr;
    QGroupBox* Frame5 = nullptr;
    QCheckBox* optcls = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Image1 = nullptr;
};

} // namespace quellon
