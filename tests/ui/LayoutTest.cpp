// SPDX-License-Identifier: GPL-3.0-or-later

// The window as laid out: where every control stands, what it says and in which face, the window's
// size, the keyboard's way through the controls, and its state right after start-up.

#include "WindowFixture.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QFile>
#include <QFontMetrics>
#include <QGroupBox>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QPalette>
#include <QPixmap>
#include <QProcess>
#include <QPushButton>
#include <QStyle>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <optional>
#include <utility>

namespace quellon::testing {
namespace {

using quellon::testing::PrintTo;

enum class Face {
    Default,    // the window's one default font
    Bold975,    // sans-serif 9.75 pt bold
    Regular975, // sans-serif 9.75 pt regular
};

struct ControlRow {
    const char* name;
    const char* parent;
    QRect geometry; // in pixels at the default desktop: the twips of the layout divided by 15
    const char* caption;
    Face face;
    std::optional<QColor> textColour; // on a light background; on a dark one a lighter colour that reads
    const char* accessibleName;       // what a screen reader calls it (nullptr: not checked)
    const char* accessibleDescription;
};

const ControlRow kControls[] = {
    {"Label1", "frmQuellon", {125, 16, 289, 17}, "Enter the file or files that you want to wipe, in the box below",
        Face::Default, std::nullopt, nullptr, nullptr},
    {"List1", "frmQuellon", {5, 40, 529, 82}, nullptr, Face::Default, std::nullopt,
        "Enter the file or files that you want to wipe, in the box below", nullptr},
    {"Frame2", "frmQuellon", {157, 136, 225, 81}, "", Face::Default, std::nullopt, nullptr, nullptr},
    {"Remove", "Frame2", {112, 16, 97, 25}, "&Remove...", Face::Bold975, std::nullopt, nullptr, nullptr},
    {"BROWSE", "Frame2", {8, 16, 97, 25}, "Add...", Face::Bold975, std::nullopt, nullptr, nullptr},
    {"CLEARbtn", "Frame2", {72, 48, 65, 25}, "Clear", Face::Default, std::nullopt, nullptr, nullptr},
    {"Frame3", "frmQuellon", {209, 224, 121, 57}, "", Face::Default, std::nullopt, nullptr, nullptr},
    {"Delete", "Frame3", {16, 16, 97, 33}, "&Wipe All", Face::Bold975, std::nullopt, nullptr, nullptr},
    {"Frame4", "frmQuellon", {221, 352, 97, 57}, "", Face::Default, std::nullopt, nullptr, nullptr},
    {"Quit", "Frame4", {8, 16, 81, 33}, "&Quit", Face::Bold975, std::nullopt, nullptr, nullptr},
    {"Label2", "frmQuellon", {8, 232, 161, 49}, "Files wiped can't be recovered by file recovery programs.",
        Face::Bold975, QColor(255, 0, 0), nullptr, nullptr},
    {"Frame5", "frmQuellon", {8, 136, 145, 41}, "", Face::Default, std::nullopt, nullptr, nullptr},
    {"optcls", "Frame5", {8, 8, 129, 25}, "Clear List when done.", Face::Default, std::nullopt, nullptr, nullptr},
    {"Label3", "frmQuellon", {8, 384, 105, 17}, "Send your email(s) to:", Face::Default, std::nullopt, nullptr,
        nullptr},
    {"Label4", "frmQuellon", {8, 400, 169, 17}, "support@quellon.example", Face::Regular975, QColor(0, 0, 255),
        "Send e-mail to support@quellon.example", "Opens your mail program with a new message to this address."},
    {"Image1", "frmQuellon", {376, 224, 156, 157}, nullptr, Face::Default, std::nullopt, "WIPE \u2014 Files Securely",
        nullptr},
};

QString CaptionOf(QWidget& control)
{
    if (auto* button = qobject_cast<QAbstractButton*>(&control))
        return button->text();
    if (auto* label = qobject_cast<QLabel*>(&control))
        return label->text();
    if (auto* frame = qobject_cast<QGroupBox*>(&control))
        return frame->title();
    return {};
}

class LayoutTest : public WindowTest {};
class ControlLayout : public WindowTest, public ::testing::WithParamInterface<ControlRow> {};
class CaptionFit : public ControlLayout {};
class TextColour : public ControlLayout {};

// A place of the table on the desktop under test: each edge where the table has it, times the
// expected scale, to the nearest pixel.
QRect Scaled(const QRect& place)
{
    const auto at = [](int pixels) { return static_cast<int>(std::lround(pixels * ExpectedScale())); };
    return {QPoint(at(place.left()), at(place.top())),
        QPoint(at(place.x() + place.width()) - 1, at(place.y() + place.height()) - 1)};
}

template <typename Keep>
std::vector<ControlRow> RowsWhere(Keep keep)
{
    std::vector<ControlRow> rows;
    std::copy_if(std::begin(kControls), std::end(kControls), std::back_inserter(rows), keep);
    return rows;
}

TEST_P(ControlLayout, StandsInPlaceWithItsCaptionFaceAndColour)
{
    const ControlRow& row = GetParam();
    auto* control = child<QWidget>(row.name);
    ASSERT_NE(control, nullptr);

    EXPECT_EQ(control->geometry(), Scaled(row.geometry));
    ASSERT_NE(control->parentWidget(), nullptr);
    EXPECT_EQ(control->parentWidget()->objectName(), QLatin1String(row.parent));
    if (row.caption != nullptr) {
        EXPECT_EQ(CaptionOf(*control), QString::fromUtf8(row.caption));
    }

    const QFont font = control->font();
    const QFont windowFont = window->font();
    EXPECT_EQ(font.family(), windowFont.family());
    EXPECT_FALSE(font.underline());
    switch (row.face) {
    case Face::Default:
        // One face and size for all of them, never larger than the desktop's own.
        EXPECT_EQ(font.weight(), windowFont.weight());
        EXPECT_EQ(font.pointSizeF(), windowFont.pointSizeF());
        EXPECT_EQ(font.stretch(), windowFont.stretch());
        EXPECT_LE(windowFont.pointSizeF(), QApplication::font().pointSizeF());
        EXPECT_GE(windowFont.pointSizeF(), 6.0);
        break;
    case Face::Bold975:
    case Face::Regular975:
        EXPECT_EQ(font.weight(), row.face == Face::Bold975 ? QFont::Bold : QFont::Normal);
        // 9.75 pt at 96 DPI on the default desktop, in proportion on any other.
        EXPECT_NEAR(font.pointSizeF() * control->logicalDpiY() / 96, 9.75 * ExpectedScale(), 1e-9);
        break;
    }
    const QColor text = control->palette().color(QPalette::WindowText);
    if (row.textColour) {
        EXPECT_EQ(text, *row.textColour);
    } else {
        EXPECT_EQ(text, window->palette().color(QPalette::WindowText));
    }
}

// What a caption needs to be drawn uncut: its label's whole box, a button less a few pixels of
// frame on each side, a check box less its indicator.
TEST_P(CaptionFit, CaptionIsNotClipped)
{
    const ControlRow& row = GetParam();
    auto* control = child<QWidget>(row.name);
    ASSERT_NE(control, nullptr);

    const QFontMetrics metrics(control->font());
    const QString caption = CaptionOf(*control);
    QRect room = control->rect();
    int flags = Qt::TextShowMnemonic;
    if (qobject_cast<QPushButton*>(control) != nullptr) {
        room.adjust(3, 3, -3, -3);
    } else if (qobject_cast<QCheckBox*>(control) != nullptr) {
        const QStyle* style = control->style();
        room.setLeft(style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, control) +
            style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, control));
    } else if (auto* label = qobject_cast<QLabel*>(control); label != nullptr && label->wordWrap()) {
        flags |= Qt::TextWordWrap;
    }
    if (row.parent == std::string("frmQuellon"))
        room &= window->rect().translated(-control->pos()); // the part inside the window

    const QRect needed = metrics.boundingRect(QRect(QPoint(0, 0), room.size()), flags, caption);
    EXPECT_LE(needed.width(), room.width())
        << "caption \"" << caption.toStdString() << "\" at " << control->font().pointSizeF() << " pt";
    EXPECT_LE(needed.height(), room.height())
        << "caption \"" << caption.toStdString() << "\" at " << control->font().pointSizeF() << " pt";
}

TEST_P(ControlLayout, ScreenReaderNamesIt)
{
    const ControlRow& row = GetParam();
    auto* control = child<QWidget>(row.name);
    ASSERT_NE(control, nullptr);
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(control);
    ASSERT_NE(accessible, nullptr);
    if (row.accessibleName != nullptr) {
        EXPECT_EQ(accessible->text(QAccessible::Name), QString::fromUtf8(row.accessibleName));
    }
    if (row.accessibleDescription != nullptr) {
        EXPECT_EQ(accessible->text(QAccessible::Description), QString::fromUtf8(row.accessibleDescription));
    }
    if (row.name == std::string("Label4")) {
        // A link a screen reader can follow, though it takes no keyboard focus.
        EXPECT_EQ(accessible->role(), QAccessible::Link);
        EXPECT_FALSE(accessible->state().focusable);
        QAccessibleActionInterface* actions = accessible->actionInterface();
        ASSERT_NE(actions, nullptr);
        actions->doAction(QAccessibleActionInterface::pressAction());
        EXPECT_EQ(links.opened, std::vector<std::string>{"mailto:support@quellon.example"});
    }
}

// The colour of the most opaque pixel of a picture drawn in one colour.
QColor StrongestInk(const QPixmap& picture)
{
    const QImage image = picture.toImage().convertToFormat(QImage::Format_ARGB32);
    QColor strongest(Qt::transparent);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            if (pixel.alpha() > strongest.alpha())
                strongest = pixel;
        }
    }
    strongest.setAlpha(255);
    return strongest;
}

QPalette DarkPalette(const QColor& window, const QColor& text, const QColor& link)
{
    QPalette dark(window);
    dark.setColor(QPalette::WindowText, text);
    dark.setColor(QPalette::Text, text);
    dark.setColor(QPalette::Base, window.darker(130));
    dark.setColor(QPalette::Button, window);
    dark.setColor(QPalette::ButtonText, text);
    dark.setColor(QPalette::Link, link);
    return dark;
}

// Every caption reads (WCAG AA, 4.5:1) on dark desktops; the address takes the palette's link
// colour where that reads, else a lighter blue.
TEST_P(TextColour, ReadsOnDarkPalettes)
{
    const ControlRow& row = GetParam();
    auto* control = child<QWidget>(row.name);
    ASSERT_NE(control, nullptr);
    EXPECT_DOUBLE_EQ(ContrastRatio(Qt::black, Qt::white), 21.0);

    struct Dark {
        const char* name;
        QPalette palette;
        std::optional<QColor> address; // the colour Label4 takes, where fixed by the palette
    };
    const Dark palettes[] = {
        {"grey #353535, link that reads", DarkPalette(QColor(53, 53, 53), Qt::white, QColor(42, 130, 218)),
            std::nullopt},
        {"near black, link that reads",
            DarkPalette(QColor(0x1e, 0x1e, 0x1e), QColor(0xee, 0xee, 0xee), QColor(0x3d, 0xae, 0xe9)),
            QColor(0x3d, 0xae, 0xe9)},
        {"near black, pure blue link", DarkPalette(QColor(0x1e, 0x1e, 0x1e), Qt::white, QColor(0, 0, 255)),
            std::nullopt},
    };
    for (const Dark& dark : palettes) {
        SCOPED_TRACE(dark.name);
        window->setPalette(dark.palette);
        const QColor background = window->palette().color(QPalette::Window);
        const QColor text = control->palette().color(QPalette::WindowText);
        EXPECT_GE(ContrastRatio(text, background), 4.5) << text.name().toStdString();
        if (row.name == std::string("Label2")) {
            EXPECT_GE(ContrastRatio(StrongestInk(child<QLabel>("Image1")->pixmap()), background), 4.5)
                << "the picture's red too";
        }
        if (row.name == std::string("Label4") && dark.address) {
            EXPECT_EQ(text, *dark.address);
        } else {
            EXPECT_EQ(text.hue(), row.textColour->hue()) << "still plainly red or blue: " << text.name().toStdString();
        }
    }

    window->setPalette(QPalette());
    EXPECT_EQ(control->palette().color(QPalette::WindowText), *row.textColour) << "light again: as designed";
}

INSTANTIATE_TEST_SUITE_P(EveryControl, ControlLayout, ::testing::ValuesIn(kControls), RowName<ControlRow>);
INSTANTIATE_TEST_SUITE_P(EveryCaption, CaptionFit, ::testing::ValuesIn(RowsWhere([](const ControlRow& row) {
    return row.caption != nullptr && *row.caption != '\0';
})),
    RowName<ControlRow>);
INSTANTIATE_TEST_SUITE_P(EveryColouredCaption, TextColour,
    ::testing::ValuesIn(RowsWhere([](const ControlRow& row) { return row.textColour.has_value(); })),
    RowName<ControlRow>);

TEST_F(LayoutTest, WindowHasItsTitleIconAndFixedSize)
{
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Quellon v 1.0"));
    const QSize fixed = Scaled({0, 0, 539, 416}).size();
    EXPECT_EQ(window->size(), fixed);
    EXPECT_EQ(window->minimumSize(), fixed);
    EXPECT_EQ(window->maximumSize(), fixed);
    EXPECT_EQ(window->devicePixelRatioF(), ExpectedPixelRatio());
    const QList<QSize> iconSizes = window->windowIcon().availableSizes();
    EXPECT_TRUE(iconSizes.contains(QSize(16, 16)));
    EXPECT_TRUE(iconSizes.contains(QSize(32, 32)));
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);

    // Drawn, not enlarged, for screens scaled by 2 and 3.
    EXPECT_TRUE(iconSizes.contains(QSize(64, 64)));
    EXPECT_TRUE(iconSizes.contains(QSize(96, 96)));
    for (const auto& [file, size] :
        {std::pair{":/quellon/wipe@2x.png", QSize(312, 314)}, std::pair{":/quellon/wipe@3x.png", QSize(468, 471)}}) {
        EXPECT_EQ(QPixmap(QLatin1String(file)).size(), size) << file;
    }

    auto* picture = child<QLabel>("Image1");
    ASSERT_NE(picture, nullptr);
    picture->repaint();
    EXPECT_NEAR(picture->pixmap().deviceIndependentSize().width(), 156 * ExpectedScale(), 0.5);
    EXPECT_NEAR(picture->pixmap().deviceIndependentSize().height(), 157 * ExpectedScale(), 0.5);
    EXPECT_EQ(picture->pixmap().devicePixelRatio(), picture->devicePixelRatioF());
}

struct DesktopRow {
    const char* name;
    const char* environment; // for a run of its own: Qt's settings, the font, and what to expect
};

// A larger application font, a higher font DPI (which Qt scales the screen for, unless told not to)
// and screens scaled by Qt: the window keeps its proportions, Qt's scaling is not applied twice.
const DesktopRow kDesktops[] = {
    {"Font10pt", "QUELLON_TEST_FONT_PT=10 QUELLON_TEST_SCALE=10/9"},
    {"Font12pt", "QUELLON_TEST_FONT_PT=12 QUELLON_TEST_SCALE=12/9"},
    {"Font14pt", "QUELLON_TEST_FONT_PT=14 QUELLON_TEST_SCALE=14/9"},
    {"FontDpi120", "QT_FONT_DPI=120 QUELLON_TEST_PIXEL_RATIO=1.25"},
    {"FontDpi144", "QT_FONT_DPI=144 QUELLON_TEST_PIXEL_RATIO=1.5"},
    {"FontDpi120WithoutQtScaling", "QT_ENABLE_HIGHDPI_SCALING=0 QT_FONT_DPI=120 QUELLON_TEST_SCALE=120/96"},
    {"FontDpi144WithoutQtScaling", "QT_ENABLE_HIGHDPI_SCALING=0 QT_FONT_DPI=144 QUELLON_TEST_SCALE=144/96"},
    {"Scale1_5", "QT_SCALE_FACTOR=1.5 QUELLON_TEST_PIXEL_RATIO=1.5"},
    {"Scale2", "QT_SCALE_FACTOR=2 QUELLON_TEST_PIXEL_RATIO=2"},
    {"Scale2Font14pt", "QT_SCALE_FACTOR=2 QUELLON_TEST_PIXEL_RATIO=2 QUELLON_TEST_FONT_PT=14 QUELLON_TEST_SCALE=14/9"},
};

class OnDesktop : public ::testing::TestWithParam<DesktopRow> {};

// The layout table, the window, the progress dialog and the boxes again, in a run of these tests of their own on that
// desktop.
TEST_P(OnDesktop, EveryControlInProportionAndNothingClipped)
{
    // A 4K screen, as scaled desktops have: a box at a large font may then grow as wide as its lines.
    const QTemporaryDir dir;
    QFile screens(dir.filePath(QStringLiteral("screens.json")));
    ASSERT_TRUE(screens.open(QIODevice::WriteOnly));
    screens.write(R"({"screens": [{"name": "4K", "width": 3840, "height": 2160, "logicalDpi": 96, "dpr": 1}]})");
    screens.close();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen:configfile=") + screens.fileName());
    for (const QString& setting : QString::fromLatin1(GetParam().environment).split(QLatin1Char(' ')))
        environment.insert(setting.section(QLatin1Char('='), 0, 0), setting.section(QLatin1Char('='), 1));
    QProcess run;
    run.setProcessEnvironment(environment);
    run.setProcessChannelMode(QProcess::MergedChannels);
    run.start(QCoreApplication::applicationFilePath(),
        {QStringLiteral("--gtest_filter=EveryControl/*:EveryCaption/*:LayoutTest.WindowHasItsTitleIconAndFixedSize:"
                        "PointSizes/ProgressDialogFontTest.*:RealMessageBox.*")});
    ASSERT_TRUE(run.waitForFinished(50000));
    const QString output = QString::fromLocal8Bit(run.readAll());
    EXPECT_EQ(run.exitCode(), 0) << output.toStdString();
    EXPECT_FALSE(output.contains(QLatin1String("[  PASSED  ] 0 tests"))) << output.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Desktops, OnDesktop, ::testing::ValuesIn(kDesktops), RowName<DesktopRow>);

struct PlacementRow {
    const char* name;
    QRect available;
    QSize frame;
    QPoint expected;
};

// Centred on the screen's free area; where the window does not fit, its title bar stays on screen.
const PlacementRow kPlacements[] = {
    {"CentredOnALargeScreen", {0, 0, 1920, 1050}, {541, 446}, {689, 302}},
    {"CentredBesideAPanel", {64, 27, 1856, 1053}, {541, 446}, {721, 330}},
    {"SmallScreenAtScale2TopStaysVisible", {0, 0, 683, 384}, {541, 446}, {71, 0}},
    {"BelowATopPanel", {0, 32, 683, 352}, {541, 446}, {71, 32}},
    {"WiderThanTheScreen", {0, 0, 400, 300}, {541, 446}, {0, 0}},
    {"SecondScreen", {1920, 0, 1366, 728}, {541, 446}, {2332, 141}},
};

class Placement : public ::testing::TestWithParam<PlacementRow> {};

TEST_P(Placement, KeepsTheTitleBarOnScreen)
{
    const PlacementRow& row = GetParam();
    EXPECT_EQ(CentredOnScreen(row.available, row.frame), row.expected);
}

INSTANTIATE_TEST_SUITE_P(Screens, Placement, ::testing::ValuesIn(kPlacements), RowName<PlacementRow>);

TEST_F(LayoutTest, StartsWithAnEmptyQueueUntickedBoxAndFocusInTheList)
{
    EXPECT_EQ(list()->count(), 0);
    EXPECT_EQ(list()->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_FALSE(list()->isSortingEnabled());
    EXPECT_FALSE(child<QCheckBox>("optcls")->isChecked());
    EXPECT_EQ(QApplication::focusWidget(), list());
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(LayoutTest, TabVisitsTheControlsInOrderBothWays)
{
    // Where the focus goes at each of seven presses of `key`, by object name.
    const auto visited = [](Qt::Key key, Qt::KeyboardModifiers modifiers) {
        QStringList names;
        for (int press = 0; press < 7; ++press) {
            QTest::keyClick(QApplication::focusWidget(), key, modifiers);
            names.append(QApplication::focusWidget()->objectName());
        }
        return names;
    };
    EXPECT_EQ(visited(Qt::Key_Tab, Qt::NoModifier),
        (QStringList{QStringLiteral("Remove"), QStringLiteral("BROWSE"), QStringLiteral("CLEARbtn"),
            QStringLiteral("Delete"), QStringLiteral("Quit"), QStringLiteral("optcls"), QStringLiteral("List1")}));
    EXPECT_EQ(visited(Qt::Key_Backtab, Qt::ShiftModifier),
        (QStringList{QStringLiteral("optcls"), QStringLiteral("Quit"), QStringLiteral("Delete"),
            QStringLiteral("CLEARbtn"), QStringLiteral("BROWSE"), QStringLiteral("Remove"), QStringLiteral("List1")}));
}

struct KeyRow {
    const char* name;
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    const char* prompt; // the one box the key brings up, or nullptr for none
    int flags;
    const char* title;
};

// With an empty queue each command answers with a box of its own, which tells which one ran.
const KeyRow kKeys[] = {
    {"AltR_PressesRemove", Qt::Key_R, Qt::AltModifier, "Select something to delete.", 0x40, "Nothing to delete."},
    {"AltW_PressesWipeAll", Qt::Key_W, Qt::AltModifier, "There is nothing to delete.", 0x10, "Quellon"},
    {"AltQ_PressesQuit", Qt::Key_Q, Qt::AltModifier, "Are you sure you want to quit?", 4, "Quellon"},
    {"AltA_DoesNothing", Qt::Key_A, Qt::AltModifier, nullptr, 0, nullptr},
    {"AltC_DoesNothing", Qt::Key_C, Qt::AltModifier, nullptr, 0, nullptr},
    {"Enter_DoesNothing", Qt::Key_Return, Qt::NoModifier, nullptr, 0, nullptr},
    {"Escape_DoesNothing", Qt::Key_Escape, Qt::NoModifier, nullptr, 0, nullptr},
};

class AccessKey : public WindowTest, public ::testing::WithParamInterface<KeyRow> {};

TEST_P(AccessKey, RunsOnlyItsOwnCommand)
{
    const KeyRow& row = GetParam();
    messages.answer = IDNO;
    for (const char* focus : {"List1", "optcls", "BROWSE"}) {
        messages.shown.clear();
        child<QWidget>(focus)->setFocus();
        QTest::keyClick(QApplication::focusWidget(), row.key, row.modifiers);
        // An access key clicks its button the way the mouse would, after a short visible press.
        if (row.prompt == nullptr)
            QTest::qWait(250);
        else
            static_cast<void>(QTest::qWaitFor([this] { return !messages.shown.empty(); }, 2000));

        if (row.prompt == nullptr) {
            EXPECT_TRUE(messages.shown.empty()) << "focus in " << focus << ": " << messages.Prompts();
        } else {
            EXPECT_TRUE(messages.ShowedOnly(row.prompt, row.flags, row.title)) << "focus in " << focus;
        }
        EXPECT_TRUE(dialog.uses.empty()) << "focus in " << focus;
        EXPECT_TRUE(window->isVisible());
    }
}

INSTANTIATE_TEST_SUITE_P(Keys, AccessKey, ::testing::ValuesIn(kKeys), RowName<KeyRow>);

} // namespace
} // namespace quellon::testing
