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
// report itself; an entry whose file was already wiped earlier in the same run counts as wiped
// without being touched again: the same path, or another path that led to the same file (device
// and inode) before the run and leads nowhere now. When every entry was wiped, the run empties the
// list if optcls is ticked and says so; otherwise, and after a cancel too, it says how many were
// wiped, names those that were not and, with optcls ticked, takes only the wiped entries off the
// list (the texts are in ClosingMessages).
//
// While a run wipes, the engine works on a worker thread and the window keeps repainting but takes
// no input; a run that lasts more than half a second shows a modal progress dialog whose Cancel
// stops the run after the pass under way (WipeRun). The engine's error reports still come up on the
// UI thread, one modal box at a time. A close request from the window manager during a run (the
// progress dialog, an error report or the closing box up, or none of them) is ignored then but
// remembered: once the run has ended, after its closing box, the window closes without a question.
// At any other time it closes the window at once, also while a box or the open-file dialog is up.
//
// The window fits the desktop it runs on (WindowLook: fonts, colours, icon and picture, what screen
// readers are told), and is centred but never placed with its title bar off the screen.
//
// The message box, the open-file dialog, the "mailto:" opener and the file system come in through
// WindowServices, so tests put recording fakes in their place. Every handler runs on the UI thread;
// every box and dialog is modal, so no handler starts while another is still running.

#include "ClosingMessages.h"
#include "FileRipper.h"
#include "FileSystem.h"
#include "LinkOpener.h"
#include "MessageBox.h"
#include "OpenFileDialog.h"
#include "UiThreadMessageBox.h"
#include "WindowLook.h"
#include "WindowManagerClose.h"

#include <QList>
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

    // The Wipe All run over `paths`, every entry of List1 top to bottom: each wiped in turn, up to
    // the run's closing box. Notes in closeRequested_ a close request that came meanwhile.
    void WipeQueue(const std::vector<std::string>& paths);
    // After the last entry of a run: the closing box, and with "Clear List when done." ticked the
    // wiped entries (rows `wipedRows`, ascending) taken off the list. `notWiped`: the paths not wiped.
    void EndOfRun(const QList<int>& wipedRows, const std::vector<std::string>& notWiped);
    // After the entry under way of a cancelled run: the cancel box, and with "Clear List when done."
    // ticked the entries wiped before the cancel (rows `wipedRows`, ascending) taken off the list.
    void EndOfCancelledRun(const QList<int>& wipedRows, CancelledRun run);
    // Takes the entries at `rows` (ascending) off the list; nothing is selected after.
    void TakeOffList(const QList<int>& rows);
    // The text of the selected entry of List1, or the empty string when none is selected.
    [[nodiscard]] QString ListText() const;
    // Every entry of List1, top to bottom: the paths, as chosen in the dialog, handed to the engine.
    [[nodiscard]] std::vector<std::string> QueuePaths() const;

    // Every control in its place, with its caption, inside a window of fixed size (laid out in twips).
    void BuildLayout();
    // A place of the layout, in twips, in the window's pixels at the desktop's scale.
    [[nodiscard]] QRect Twips(int left, int top, int width, int height) const;
    // The controls whose look WindowLook sets.
    [[nodiscard]] WindowControls Controls();
    // Tab's way through the controls, starting from the list, which takes the focus.
    void OrderTabStops();
    // The buttons' and the address's clicks to their handlers.
    void WireHandlers();
    // Keeps the title bar on the screen once the window manager has framed the window.
    void KeepOnScreen();
    // A close request from the window manager, seen before Qt: true when it is handled here (during
    // a run, or with a box or dialog up, which would make Qt drop it).
    bool WindowManagerCloseRequest();

    MessageBox& messages_;
    UiThreadMessageBox engineMessages_; // what Ripper reports through, from its worker thread
    OpenFileDialog& File;
    LinkOpener& links_;
    FileSystem& files_;
    DesktopScale scale_; // the desktop's font against the one the layout was drawn for
    std::unique_ptr<FileRipper> Ripper;
    bool closeRequested_ = false; // a close request came during the run under way
    bool centred_ = false;        // centred with its window manager's frame, once, when first shown
    int placingLooks_ = 0;        // looks for that frame so far
    bool runUnderWay_ = false;    // from Wipe All to the answer to the run's closing box
    WindowManagerClose windowManagerClose_{*this, [this] { return WindowManagerCloseRequest(); }};

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
