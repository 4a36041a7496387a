// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// The look of the main window frmQuellon, apart from what it does: its fonts, the colours of the
// warning and the address, its icon and picture, what screen readers are told of it, and where it
// goes on the screen. The window calls these once its controls are in place, and the colours again
// when the desktop's palette changes.
//
// Size: the layout grows and shrinks with the desktop's font (DesktopScale), every control, face and
// the picture alike, so a larger desktop font makes a larger window of the same proportions.
// Fonts: the controls without a face of their own share one default font, the desktop's, chosen
// once at the largest size (and width) at which all their captions fit; the emphasised captions keep
// 9.75 pt at the default desktop font, in proportion at any other. Colours: on a dark palette the red warning and the
// blue address turn lighter (or the address takes the palette's link colour) so that they still read. The picture is
// drawn from artwork made for the screen's scale.

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QPoint>
#include <QRect>

class QCheckBox;
class QLabel;
class QListWidget;
class QPushButton;
class QWidget;

namespace quellon {

// Where a window whose frame (title bar included) has size `frame` goes on a screen whose free area
// is `available`: centred, but moved back inside so the title bar is never off-screen; a window
// larger than the area keeps its top-left corner at the area's.
[[nodiscard]] QPoint CentredOnScreen(const QRect& available, const QSize& frame);

// The contrast between two colours as WCAG 2 defines it, from 1:1 to 21:1.
[[nodiscard]] double ContrastRatio(const QColor& a, const QColor& b);

// How the layout, drawn in twips for the default desktop font at 96 DPI (15 twips to a pixel), meets
// this desktop. Qt's own scaling of a screen (its device pixel ratio) comes on top of both, from Qt.
struct DesktopScale {
    double fonts = 1;  // the desktop font's size against the default's: the window's own faces grow by it
    double pixels = 1; // that times the font DPI against 96: pixels for each pixel of the layout
};

// The scale for a desktop whose font is `desktopFont`, drawn at `fontDpi` dots per inch.
[[nodiscard]] DesktopScale ScaleFor(const QFont& desktopFont, double fontDpi);

// The controls of the window whose look is set here, by their documented names.
struct WindowControls {
    QWidget& window;
    QLabel& Label1;
    QListWidget& List1;
    QPushButton& Remove;
    QPushButton& BROWSE;
    QPushButton& CLEARbtn;
    QPushButton& Delete;
    QPushButton& Quit;
    QLabel& Label2;
    QCheckBox& optcls;
    QLabel& Label3;
    QLabel& Label4;
    QLabel& Image1;
    DesktopScale scale;
};

// The window's icon, drawn for screens scaled by 1, 2 and 3.
[[nodiscard]] QIcon WindowIcon();

// The picture (Image1) at its natural size times `scale`, drawn for the scale of the screen it is on
// and redrawn when it moves to another; on a dark background its red is lightened like the warning's.
[[nodiscard]] QLabel* NewPicture(QWidget* parent, double scale);

// Makes screen readers see the contact address (the label Label4 of frmQuellon) as a link whose
// press action clicks it. Must run before any control exists: a screen reader's view of a widget is
// made once and then kept.
void InstallAddressAccessible();

// The window's fonts: one default font for the controls without a face of their own, chosen so
// that all their captions fit, and the 9.75 pt face of the emphasised captions.
void ApplyFonts(const WindowControls& controls);

// The red warning and the blue address, or lighter ones that read on a dark background.
void ApplyTextColours(const WindowControls& controls);

// What a screen reader calls the list, the picture and the address.
void NameForScreenReaders(const WindowControls& controls);

} // namespace quellon
