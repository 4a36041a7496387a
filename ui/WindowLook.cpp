// SPDX-License-Identifier: GPL-3.0-or-later

// The look of the main window (see WindowLook.h): fonts that fit the captions, colours that read on
// the desktop's palette, the icon and the picture, the screen readers' view, the place on screen.

#include "WindowLook.h"

#include "frmQuellon.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <vector>

namespace quellon {

namespace {

// The layout was drawn for the desktop font of its day, 8 pt, at 96 DPI. Qt's own default face, 9 pt
// sans-serif (what a Debian desktop gives a program that sets none), stands in for it: at that size
// and 96 DPI the window is 15 twips to a pixel, and other sizes scale it in proportion.
constexpr qreal kDrawnForPointSize = 9.0;
constexpr qreal kDrawnForDpi = 96.0;

// The emphasised captions are 9.75 pt in the window's face at the default desktop font. The default font is the
// desktop's, made smaller a quarter point at a time (down to 6 pt) only as far as needed for every default caption to
// fit; a narrower width of the same face is preferred where it lets the text stay larger.
constexpr qreal kEmphasisPointSize = 9.75;
constexpr qreal kSmallestPointSize = 6.0;
constexpr qreal kPointStep = 0.25;
constexpr int kWidths[] = {QFont::Unstretched, QFont::SemiCondensed, QFont::Condensed};

// The colours of the warning and the address. On a dark background they are lightened until their
// contrast reaches kReadableContrast (WCAG AA for text of this size).
constexpr QColor kRed(255, 0, 0);
constexpr QColor kBlue(0, 0, 255);
constexpr QColor kArtworkRed(0xdd, 0, 0); // the red of the picture (make-artwork.sh)
constexpr double kReadableContrast = 4.5;

// A caption and the room its control leaves for it.
struct Caption {
    QString text;
    QRect area;
    int flags;
};

bool Fits(const QFont& font, const Caption& caption)
{
    const QRect needed = QFontMetrics(font).boundingRect(
        QRect(QPoint(0, 0), caption.area.size()), caption.flags | Qt::AlignLeft | Qt::AlignTop, caption.text);
    return needed.width() <= caption.area.width() && needed.height() <= caption.area.height();
}

bool AllFit(const QFont& font, const std::vector<Caption>& captions)
{
    return std::all_of(captions.begin(), captions.end(), [&](const Caption& c) { return Fits(font, c); });
}

// The largest size not above `font`'s own (trying the narrower widths of its face too) at which
// every caption fits; the smallest size if none does.
QFont LargestFitting(QFont font, const std::vector<Caption>& captions)
{
    const qreal start = font.pointSizeF() > 0 ? font.pointSizeF() : kEmphasisPointSize;
    QFont best = font;
    best.setPointSizeF(kSmallestPointSize);
    bool found = false;
    for (const int width : kWidths) {
        font.setStretch(width);
        for (qreal size = start; size >= kSmallestPointSize; size -= kPointStep) {
            font.setPointSizeF(size);
            if (found && size <= best.pointSizeF())
                break;
            if (AllFit(font, captions)) {
                best = font;
                found = true;
                break;
            }
        }
    }
    return best;
}

// The part of a button or check box in which the style draws its caption.
QRect CaptionArea(const QAbstractButton& button, QStyle::SubElement element)
{
    QStyleOptionButton option;
    option.initFrom(&button);
    option.text = button.text();
    return button.style()->subElementRect(element, &option, &button);
}

Caption CaptionOf(const QPushButton& button)
{
    return {button.text(), CaptionArea(button, QStyle::SE_PushButtonContents), Qt::TextShowMnemonic};
}

Caption CaptionOf(const QCheckBox& box)
{
    return {box.text(), CaptionArea(box, QStyle::SE_CheckBoxContents), Qt::TextShowMnemonic};
}

// A label's caption may use the part of its box inside the window.
Caption CaptionOf(const QLabel& label, const QWidget& window)
{
    const QRect inside = label.contentsRect() & window.rect().translated(-label.pos());
    return {label.text(), inside, label.wordWrap() ? int(Qt::TextWordWrap) : 0};
}

double Linear(int channel)
{
    const double c = channel / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double Luminance(const QColor& colour)
{
    const QColor rgb = colour.toRgb();
    return 0.2126 * Linear(rgb.red()) + 0.7152 * Linear(rgb.green()) + 0.0722 * Linear(rgb.blue());
}

// Below this luminance white text reads better than black: the background is dark.
constexpr double kDarkBelow = 0.179;

// `colour` where `background` is light (as designed); on a dark one, `colour` mixed with white
// just enough to reach kReadableContrast.
QColor ReadableOn(const QColor& colour, const QColor& background)
{
    if (Luminance(background) >= kDarkBelow)
        return colour;
    QColor lighter = colour;
    for (int white = 0; white <= 100 && ContrastRatio(lighter, background) < kReadableContrast; white += 2) {
        const auto mix = [&](int channel) { return channel + (255 - channel) * white / 100; };
        lighter = QColor(mix(colour.red()), mix(colour.green()), mix(colour.blue()));
    }
    return lighter;
}

// The picture at its natural size, drawn from the artwork made for the screen's scale (1x, 2x or
// 3x, smoothly reduced in between), so it stays sharp on a scaled screen and after moving to one.
// On a dark background its red is lightened like the warning's.
class Picture final : public QLabel {
public:
    Picture(QWidget* parent, double scale) : QLabel(parent), scale_(scale) { Draw(); }

protected:
    void changeEvent(QEvent* event) override
    {
        if (event->type() == QEvent::PaletteChange)
            Draw();
        QLabel::changeEvent(event);
    }

    void paintEvent(QPaintEvent* event) override
    {
        if (drawnFor_ != devicePixelRatioF())
            Draw();
        QLabel::paintEvent(event);
    }

private:
    static constexpr QSize kNaturalSize{156, 157};

    void Draw()
    {
        drawnFor_ = devicePixelRatioF();
        const double pixels = drawnFor_ * scale_;
        const char* file = pixels <= 1 ? ":/quellon/wipe.png"
            : pixels <= 2              ? ":/quellon/wipe@2x.png"
                                       : ":/quellon/wipe@3x.png";
        QImage drawn{QLatin1String(file)};
        const QSize wanted(qRound(kNaturalSize.width() * pixels), qRound(kNaturalSize.height() * pixels));
        if (drawn.size() != wanted) {
            // Reduced in full colour: smooth scaling of the palette image crashes this Qt (6.4).
            drawn = drawn.convertToFormat(QImage::Format_ARGB32_Premultiplied)
                        .scaled(wanted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        }
        const QColor ink = ReadableOn(kArtworkRed, palette().color(QPalette::Window));
        if (ink != kArtworkRed) {
            drawn = drawn.convertToFormat(QImage::Format_ARGB32_Premultiplied);
            QPainter painter(&drawn);
            painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
            painter.fillRect(drawn.rect(), ink);
        }
        drawn.setDevicePixelRatio(drawnFor_);
        setPixmap(QPixmap::fromImage(drawn));
    }

    double scale_;
    qreal drawnFor_ = 0;
};

// What a screen reader sees of the contact address: a link whose press action clicks it, as the
// mouse would. The label still takes no keyboard focus.
class AddressAccessible final : public QAccessibleWidget {
public:
    explicit AddressAccessible(QWidget* label) : QAccessibleWidget(label, QAccessible::Link) {}

    QStringList actionNames() const override { return {pressAction()}; }

    void doAction(const QString& name) override
    {
        if (name != pressAction())
            return;
        QWidget* label = widget();
        const QPointF centre = QRectF(label->rect()).center();
        for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
            QMouseEvent click(type, centre, label->mapToGlobal(centre), Qt::LeftButton,
                type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
            QCoreApplication::sendEvent(label, &click);
        }
    }
};

QAccessibleInterface* AddressAccessibleFor(const QString& className, QObject* object)
{
    auto* label = qobject_cast<QLabel*>(object);
    if (className != QLatin1String("QLabel") || label == nullptr || label->objectName() != QLatin1String("Label4") ||
        qobject_cast<frmQuellon*>(label->parentWidget()) == nullptr)
        return nullptr;
    return new AddressAccessible(label);
}

void SetTextColour(QWidget& control, const QColor& colour)
{
    QPalette palette = control.palette();
    palette.setColor(QPalette::WindowText, colour);
    control.setPalette(palette);
}

} // namespace

QPoint CentredOnScreen(const QRect& available, const QSize& frame)
{
    const int x = available.left() + (available.width() - frame.width()) / 2;
    const int y = available.top() + (available.height() - frame.height()) / 2;
    return {std::max(available.left(), std::min(x, available.right() + 1 - frame.width())),
        std::max(available.top(), std::min(y, available.bottom() + 1 - frame.height()))};
}

double ContrastRatio(const QColor& a, const QColor& b)
{
    const double first = Luminance(a);
    const double second = Luminance(b);
    return (std::max(first, second) + 0.05) / (std::min(first, second) + 0.05);
}

DesktopScale ScaleFor(const QFont& desktopFont, double fontDpi)
{
    const double points =
        desktopFont.pointSizeF() > 0 ? desktopFont.pointSizeF() : desktopFont.pixelSize() * 72.0 / fontDpi;
    const double fonts = points > 0 ? points / kDrawnForPointSize : 1.0;
    return {fonts, fonts * fontDpi / kDrawnForDpi};
}

QIcon WindowIcon()
{
    QIcon icon;
    icon.addFile(QStringLiteral(":/quellon/icon-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/quellon/icon-32.png"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/quellon/icon-32@2x.png"), QSize(64, 64));
    icon.addFile(QStringLiteral(":/quellon/icon-32@3x.png"), QSize(96, 96));
    return icon;
}

QLabel* NewPicture(QWidget* parent, double scale)
{
    return new Picture(parent, scale);
}

void InstallAddressAccessible()
{
    static const bool installed = [] {
        QAccessible::installFactory(AddressAccessibleFor);
        return true;
    }();
    static_cast<void>(installed);
}

void ApplyFonts(const WindowControls& c)
{
    QWidget& window = c.window;
    // 9.75 pt, in proportion to the desktop font, stays; only where a caption would not fit is a
    // narrower width of the face used.
    const double size = kEmphasisPointSize * c.scale.fonts;
    const auto emphasis = [&window, size](QFont::Weight weight, const std::vector<Caption>& captions) {
        QFont font = window.font();
        font.setStyleHint(QFont::SansSerif);
        font.setPointSizeF(size);
        font.setWeight(weight);
        for (const int width : kWidths) {
            font.setStretch(width);
            if (AllFit(font, captions))
                return font;
        }
        return LargestFitting(font, captions);
    };
    const QFont bold = emphasis(QFont::Bold,
        {CaptionOf(c.Remove), CaptionOf(c.BROWSE), CaptionOf(c.Delete), CaptionOf(c.Quit),
            CaptionOf(c.Label2, window)});
    for (QWidget* control : std::initializer_list<QWidget*>{&c.Remove, &c.BROWSE, &c.Delete, &c.Quit, &c.Label2})
        control->setFont(bold);
    c.Label4.setFont(emphasis(QFont::Normal, {CaptionOf(c.Label4, window)}));

    // One default font, chosen once for all the controls that have no face of their own.
    window.setFont(LargestFitting(QApplication::font(&window),
        {CaptionOf(c.Label1, window), CaptionOf(c.CLEARbtn), CaptionOf(c.optcls), CaptionOf(c.Label3, window)}));
}

void ApplyTextColours(const WindowControls& c)
{
    const QPalette& palette = c.window.palette();
    const QColor background = palette.color(QPalette::Window);
    SetTextColour(c.Label2, ReadableOn(kRed, background));
    // On a dark desktop the palette's own link colour serves the address, if it reads there.
    const QColor link = palette.color(QPalette::Link);
    const bool dark = Luminance(background) < kDarkBelow;
    SetTextColour(
        c.Label4, dark && ContrastRatio(link, background) >= kReadableContrast ? link : ReadableOn(kBlue, background));
}

void NameForScreenReaders(const WindowControls& c)
{
    // The address also says what a click on it does.
    c.List1.setAccessibleName(c.Label1.text());
    c.Image1.setAccessibleName(QStringLiteral("WIPE \u2014 Files Securely"));
    c.Label4.setAccessibleName(QStringLiteral("Send e-mail to ") + c.Label4.text());
    c.Label4.setAccessibleDescription(QStringLiteral("Opens your mail program with a new message to this address."));
}

} // namespace quellon
