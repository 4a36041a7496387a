// SPDX-License-Identifier: GPL-3.0-or-later

#include "frmQuellon.h"

#include "ErrorInfo.h"
#include "ErrorReport.h"
#include "WipeRun.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QFile>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QSet>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTimer>
#include <QtMath>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <string>

namespace quellon {

namespace {

// The window is laid out in twips; 15 twips make one device-independent pixel.
constexpr int kTwipsPerPixel = 15;

QRect Twips(int left, int top, int width, int height)
{
    return {left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel, height / kTwipsPerPixel};
}

// The emphasised captions are 9.75 pt in the window's face. The default font is the desktop's,
// made smaller a quarter point at a time (down to 6 pt) only as far as needed for every default
// caption to fit; a narrower width of the same face is preferred where it lets the text stay larger.
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
    explicit Picture(QWidget* parent) : QLabel(parent) { Draw(); }

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
        const char* file = drawnFor_ <= 1 ? ":/quellon/wipe.png"
            : drawnFor_ <= 2              ? ":/quellon/wipe@2x.png"
                                          : ":/quellon/wipe@3x.png";
        QImage drawn{QLatin1String(file)};
        const QSize wanted(qRound(kNaturalSize.width() * drawnFor_), qRound(kNaturalSize.height() * drawnFor_));
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

// Makes screen readers see the contact address as a link. Must run before any control exists: a
// screen reader's view of a widget is made once and then kept.
void InstallAddressAccessible()
{
    static const bool installed = [] {
        QAccessible::installFactory(AddressAccessibleFor);
        return true;
    }();
    static_cast<void>(installed);
}

template <typename Control>
Control* Place(QWidget* parent, const char* name, const QRect& geometry)
{
    auto* control = new Control(parent);
    control->setObjectName(QLatin1String(name));
    control->setGeometry(geometry);
    return control;
}

QPushButton* PlaceButton(QWidget* parent, const char* name, const QString& caption, const QRect& geometry)
{
    auto* button = Place<QPushButton>(parent, name, geometry);
    button->setText(caption);
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

QLabel* PlaceLabel(QWidget* parent, const char* name, const QString& caption, const QRect& geometry)
{
    auto* label = Place<QLabel>(parent, name, geometry);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setText(caption);
    return label;
}

void SetTextColour(QWidget& control, const QColor& colour)
{
    QPalette palette = control.palette();
    palette.setColor(QPalette::WindowText, colour);
    control.setPalette(palette);
}

// The exclamation-mark icon, for a run that ended with entries not wiped.
constexpr int MB_ICONEXCLAMATION = 0x30;

// How many of the entries not wiped the closing message names one by one.
constexpr int kNamedNotWiped = 10;

std::string PathText(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

std::string Entries(int count)
{
    return count == 1 ? std::string("1 entry") : std::to_string(count) + " entries";
}

// The closing message of a run that went through every entry but could not wipe them all: how
// many were wiped, and which were not (the first few by name), each of which had its error report.
std::string NotAllWipedText(int wiped, int entries, const QStringList& notWiped, bool clearedWiped)
{
    std::string text = std::to_string(wiped) + " of " + std::to_string(entries) + " File(s) have been wiped.\r\n\r\n";
    text += notWiped.size() == 1
        ? std::string("This entry was not wiped; its error report said why:")
        : "These " + Entries(static_cast<int>(notWiped.size())) + " were not wiped; their error reports said why:";
    for (qsizetype i = 0; i < notWiped.size() && i < kNamedNotWiped; ++i)
        text += "\r\n" + PathText(notWiped.at(i));
    if (notWiped.size() > kNamedNotWiped)
        text += "\r\nand " + std::to_string(notWiped.size() - kNamedNotWiped) + " more.";
    if (clearedWiped && wiped > 0)
        text += "\r\n\r\nThe wiped entries were taken off the list; the others stay on it.";
    return text;
}

// The closing message of a cancelled run: what became of the entry under way, and how many entries
// after it were never started. `passesReached` is the last pass the engine told of (for a cancelled
// file, the last one finished).
std::string CancelledText(const QString& path, WipeOutcome outcome, int passesReached, int notReached)
{
    std::string text = "Wiping was cancelled.\r\n\r\n";
    switch (outcome) {
    case WipeOutcome::Wiped: text += "This file was wiped before the run stopped:\r\n"; break;
    case WipeOutcome::Cancelled:
        text += "This file was left partly overwritten (" + std::to_string(passesReached) + " of " +
            std::to_string(FileRipper::kPasses) + " passes) and was not deleted:\r\n";
        break;
    case WipeOutcome::Failed:
        // Once a pass has got under way, something may have been written before the step that failed.
        text += "This file could not be wiped (its error report was shown)";
        if (passesReached > 0)
            text += " and may be left partly overwritten";
        text += ":\r\n";
        break;
    }
    text += PathText(path);
    if (notReached > 0)
        text +=
            "\r\n\r\n" + Entries(notReached) + (notReached == 1 ? " after it was" : " after it were") + " not reached.";
    return text;
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

frmQuellon::frmQuellon(const WindowServices& services, QWidget* parent)
    : QWidget(parent,
          Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
              Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      messages_(services.messages), engineMessages_(services.messages, *this), File(services.File),
      links_(services.links), files_(services.files)
{
    setObjectName(QStringLiteral("frmQuellon"));
    InstallAddressAccessible(); // before any control exists
    SetTitleAndIcon();
    BuildLayout();
    ApplyFonts();
    ApplyTextColours();
    NameForScreenReaders();
    OrderTabStops();
    WireHandlers();

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(CentredOnScreen(screen->availableGeometry(), size()));

    Form_Load();
}

void frmQuellon::SetTitleAndIcon()
{
    setWindowTitle(QStringLiteral("Quellon v 1.0"));
    QIcon icon;
    icon.addFile(QStringLiteral(":/quellon/icon-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/quellon/icon-32.png"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/quellon/icon-32@2x.png"), QSize(64, 64));
    icon.addFile(QStringLiteral(":/quellon/icon-32@3x.png"), QSize(96, 96));
    setWindowIcon(icon);
}

void frmQuellon::BuildLayout()
{
    setFixedSize(Twips(0, 0, 8085, 6240).size());

    Label1 = PlaceLabel(this, "Label1",
        QStringLiteral("Enter the file or files that you want to wipe, in the box below"), Twips(1875, 240, 4335, 255));

    List1 = Place<QListWidget>(this, "List1", Twips(75, 600, 7935, 1230));
    List1->setSelectionMode(QAbstractItemView::SingleSelection);
    List1->setSortingEnabled(false);

    Frame2 = Place<QGroupBox>(this, "Frame2", Twips(2355, 2040, 3375, 1215));
    Remove = PlaceButton(Frame2, "Remove", QStringLiteral("&Remove..."), Twips(1680, 240, 1455, 375));
    BROWSE = PlaceButton(Frame2, "BROWSE", QStringLiteral("Add..."), Twips(120, 240, 1455, 375));
    CLEARbtn = PlaceButton(Frame2, "CLEARbtn", QStringLiteral("Clear"), Twips(1080, 720, 975, 375));

    Frame3 = Place<QGroupBox>(this, "Frame3", Twips(3135, 3360, 1815, 855));
    Delete = PlaceButton(Frame3, "Delete", QStringLiteral("&Wipe All"), Twips(240, 240, 1455, 495));

    Frame4 = Place<QGroupBox>(this, "Frame4", Twips(3315, 5280, 1455, 855));
    Quit = PlaceButton(Frame4, "Quit", QStringLiteral("&Quit"), Twips(120, 240, 1215, 495));

    Label2 = PlaceLabel(this, "Label2", QStringLiteral("Files wiped can't be recovered by file recovery programs."),
        Twips(120, 3480, 2415, 735));
    Label2->setWordWrap(true);

    Frame5 = Place<QGroupBox>(this, "Frame5", Twips(120, 2040, 2175, 615));
    optcls = Place<QCheckBox>(Frame5, "optcls", Twips(120, 120, 1935, 375));
    optcls->setText(QStringLiteral("Clear List when done."));
    optcls->setChecked(false);

    Label3 = PlaceLabel(this, "Label3", QStringLiteral("Send your email(s) to:"), Twips(120, 5760, 1575, 255));

    Label4 = PlaceLabel(this, "Label4", QString::fromLatin1(kSupportAddress), Twips(120, 6000, 2535, 255));
    Label4->setCursor(Qt::PointingHandCursor);

    Image1 = Place<Picture>(this, "Image1", Twips(5640, 3360, 2340, 2355));
    Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

void frmQuellon::NameForScreenReaders()
{
    // The address also says what a click on it does.
    List1->setAccessibleName(Label1->text());
    Image1->setAccessibleName(QStringLiteral("WIPE \u2014 Files Securely"));
    Label4->setAccessibleName(QStringLiteral("Send e-mail to ") + Label4->text());
    Label4->setAccessibleDescription(QStringLiteral("Opens your mail program with a new message to this address."));
}

void frmQuellon::OrderTabStops()
{
    // The queue's commands before the others; "&Remove..." comes before "Add...".
    setTabOrder(List1, Remove);
    setTabOrder(Remove, BROWSE);
    setTabOrder(BROWSE, CLEARbtn);
    setTabOrder(CLEARbtn, Delete);
    setTabOrder(Delete, Quit);
    setTabOrder(Quit, optcls);
    List1->setFocus();
}

void frmQuellon::WireHandlers()
{
    connect(BROWSE, &QPushButton::clicked, this, &frmQuellon::BROWSE_Click);
    connect(Remove, &QPushButton::clicked, this, &frmQuellon::Remove_Click);
    connect(CLEARbtn, &QPushButton::clicked, this, &frmQuellon::CLEARbtn_Click);
    connect(Delete, &QPushButton::clicked, this, &frmQuellon::Delete_Click);
    connect(Quit, &QPushButton::clicked, this, &frmQuellon::Quit_Click);
    Label4->installEventFilter(this); // its click, in eventFilter
}

frmQuellon::~frmQuellon() = default;

void frmQuellon::ApplyFonts()
{
    // 9.75 pt stays; only where a caption would not fit is a narrower width of the face used.
    const auto emphasis = [this](QFont::Weight weight, const std::vector<Caption>& captions) {
        QFont font = this->font();
        font.setStyleHint(QFont::SansSerif);
        font.setPointSizeF(kEmphasisPointSize);
        font.setWeight(weight);
        for (const int width : kWidths) {
            font.setStretch(width);
            if (AllFit(font, captions))
                return font;
        }
        return LargestFitting(font, captions);
    };
    const QFont bold = emphasis(QFont::Bold,
        {CaptionOf(*Remove), CaptionOf(*BROWSE), CaptionOf(*Delete), CaptionOf(*Quit), CaptionOf(*Label2, *this)});
    for (QWidget* control : std::initializer_list<QWidget*>{Remove, BROWSE, Delete, Quit, Label2})
        control->setFont(bold);
    Label4->setFont(emphasis(QFont::Normal, {CaptionOf(*Label4, *this)}));

    // One default font, chosen once for all the controls that have no face of their own.
    setFont(LargestFitting(QApplication::font(this),
        {CaptionOf(*Label1, *this), CaptionOf(*CLEARbtn), CaptionOf(*optcls), CaptionOf(*Label3, *this)}));
}

void frmQuellon::ApplyTextColours()
{
    const QColor background = palette().color(QPalette::Window);
    SetTextColour(*Label2, ReadableOn(kRed, background));
    // On a dark desktop the palette's own link colour serves the address, if it reads there.
    const QColor link = palette().color(QPalette::Link);
    const bool dark = Luminance(background) < kDarkBelow;
    SetTextColour(
        *Label4, dark && ContrastRatio(link, background) >= kReadableContrast ? link : ReadableOn(kBlue, background));
}

void frmQuellon::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::PaletteChange && Label2 != nullptr)
        ApplyTextColours();
    QWidget::changeEvent(event);
}

void frmQuellon::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // The window manager adds the title bar after the window is shown; look again once it has.
    QTimer::singleShot(0, this, &frmQuellon::KeepOnScreen);
}

void frmQuellon::KeepOnScreen()
{
    const QScreen* shownOn = screen();
    if (shownOn == nullptr)
        return;
    const QRect available = shownOn->availableGeometry();
    const QRect frame = frameGeometry();
    const QPoint placed = CentredOnScreen(available, frame.size());
    if (!available.contains(frame) && frame.topLeft() != placed)
        move(placed);
}

void frmQuellon::Form_Load()
{
    Ripper = std::make_unique<FileRipper>(engineMessages_, files_);
}

bool frmQuellon::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Label4 &&
        (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonRelease)) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() != Qt::LeftButton)
            return false;
        // A click is a press and a release of the left button on the label.
        if (event->type() == QEvent::MouseButtonRelease && Label4->rect().contains(mouse->position().toPoint()))
            Label4_Click();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

std::vector<std::string> frmQuellon::QueuePaths() const
{
    std::vector<std::string> paths;
    paths.reserve(static_cast<std::size_t>(List1->count()));
    for (int row = 0; row < List1->count(); ++row)
        paths.push_back(QFile::encodeName(List1->item(row)->text()).toStdString());
    return paths;
}

QString frmQuellon::ListText() const
{
    const QList<QListWidgetItem*> selected = List1->selectedItems();
    return selected.isEmpty() ? QString() : selected.constFirst()->text();
}

void frmQuellon::BROWSE_Click()
{
    File.DialogTitle = "File Explorer";
    File.Flags = OFN_EXPLORER;
    File.Filter = "All Files(*.*)|*.*";
    File.ShowOpen();
    if (File.FileName().empty())
        return;
    List1->addItem(QFile::decodeName(QByteArray::fromStdString(File.FileName())));
}

void frmQuellon::Remove_Click()
{
    if (ListText().isEmpty()) {
        messages_.Show("Select something to delete.", MB_ICONINFORMATION, "Nothing to delete.");
        return;
    }
    delete List1->takeItem(List1->row(List1->selectedItems().constFirst()));
    // As after any change of the list, nothing is selected until the user selects again.
    List1->clearSelection();
}

void frmQuellon::CLEARbtn_Click()
{
    List1->clear();
}

void frmQuellon::Delete_Click()
{
    if (List1->count() == 0) {
        messages_.Show("There is nothing to delete.", MB_ICONERROR, kApplicationTitle);
        return;
    }

    WipeRun run(*this, *Ripper, engineMessages_, QueuePaths());
    // Paths wiped in this run, as the entries give them: a later entry with the same text is done
    // already and counts as wiped without being touched again.
    QSet<QString> wipedPaths;
    QList<int> wipedRows;
    QStringList notWiped;
    // The entry being wiped is always the selected one, so the selection walks down the list.
    for (int row = 0; row < List1->count(); ++row) {
        List1->setCurrentRow(row);
        const QString path = ListText();
        if (path.isEmpty()) {
            // Entries are never empty: an empty text means the entry could not be selected.
            run.Finish();
            ShowErrorReport(messages_,
                ErrorInfo{EINVAL,
                    "The entry at position " + std::to_string(row) + " of the list could not be selected.",
                    "frmQuellon"});
            return;
        }
        if (wipedPaths.contains(path)) {
            wipedRows.append(row);
            continue;
        }

        std::optional<ErrorInfo> error;
        const WipeOutcome outcome = run.Wipe(QFile::encodeName(path).toStdString(), row, List1->count(), error);
        if (error)
            ShowErrorReport(engineMessages_, *error);
        if (outcome == WipeOutcome::Wiped) {
            wipedPaths.insert(path);
            wipedRows.append(row);
        } else if (outcome == WipeOutcome::Failed) {
            notWiped.append(path);
        }

        // A cancel ends the run with its own message, unless it came too late to stop anything:
        // the last entry was wiped all the same.
        const int notReached = List1->count() - row - 1;
        if (outcome == WipeOutcome::Cancelled ||
            (run.CancelRequested() && (notReached > 0 || outcome != WipeOutcome::Wiped))) {
            run.Finish();
            messages_.Show(
                CancelledText(path, outcome, run.PassesDone(), notReached), MB_ICONINFORMATION, kApplicationTitle);
            return;
        }
    }

    run.Finish();
    EndOfRun(wipedRows, notWiped);
}

void frmQuellon::EndOfRun(const QList<int>& wipedRows, const QStringList& notWiped)
{
    if (notWiped.isEmpty()) {
        if (optcls->isChecked())
            List1->clear();
        messages_.Show("All File(s) have been wiped.", MB_ICONINFORMATION, "DONE");
        return;
    }

    // Only what was wiped leaves the list, so that the list shows what is left to do.
    const int entries = List1->count();
    const bool clearWiped = optcls->isChecked();
    if (clearWiped) {
        for (auto row = wipedRows.crbegin(); row != wipedRows.crend(); ++row)
            delete List1->takeItem(*row);
        List1->clearSelection();
    }
    messages_.Show(
        NotAllWipedText(static_cast<int>(wipedRows.size()), entries, notWiped, clearWiped), MB_ICONEXCLAMATION, "DONE");
}

void frmQuellon::Quit_Click()
{
    if (messages_.Show("Are you sure you want to quit?", MB_YESNO, kApplicationTitle) == IDYES)
        close();
}

void frmQuellon::Label4_Click()
{
    links_.Open("mailto:" + Label4->text().toStdString());
}

} // namespace quellon
