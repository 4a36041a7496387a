#include "frmQuellon.h"

#include "ErrorInfo.h"
#include "ErrorReport.h"
#include "WipeRun.h"

#include <QCheckBox>
#include <QEvent>
#include <QFile>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QListWidget>
#include <QMouseEvent>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QSet>
#include <QStyle>
#include <QStyleOptionButton>

#include <cerrno>
#include <string>

namespace quellon {

namespace {

// The window is laid out in twips; 15 twips make one device-independent pixel.
constexpr int kTwipsPerPixel = 15;

QRect Twips(int left, int top, int width, int height)
{
    return {left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel, height / kTwipsPerPixel};
}

// Captions in the emphasised face: the desktop's sans-serif face at 9.75 pt. A caption that does not
// fit its control at that size is made smaller, a quarter point at a time, down to 6 pt.
constexpr qreal kEmphasisPointSize = 9.75;
constexpr qreal kSmallestPointSize = 6.0;
constexpr qreal kPointStep = 0.25;

constexpr QColor kRed(255, 0, 0);
constexpr QColor kBlue(0, 0, 255);

QFont EmphasisFont(const QFont& windowFont, QFont::Weight weight)
{
    QFont font(windowFont);
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(kEmphasisPointSize);
    font.setWeight(weight);
    return font;
}

// Whether `text` drawn in `font` fits into `area` uncut; `flags` may ask for word wrapping.
bool TextFits(const QFont& font, const QString& text, const QRect& area, int flags)
{
    const QRect needed =
        QFontMetrics(font).boundingRect(QRect(QPoint(0, 0), area.size()), flags | Qt::AlignLeft | Qt::AlignTop, text);
    return needed.width() <= area.width() && needed.height() <= area.height();
}

// Makes the font of `control` smaller until `text` fits into `area` (or the smallest size is reached).
void ShrinkToFit(QWidget& control, const QString& text, const QRect& area, int flags)
{
    QFont font = control.font();
    if (font.pointSizeF() <= 0 || TextFits(font, text, area, flags))
        return;
    while (!TextFits(font, text, area, flags) && font.pointSizeF() - kPointStep >= kSmallestPointSize)
        font.setPointSizeF(font.pointSizeF() - kPointStep);
    control.setFont(font);
}

// The part of a button or check box in which the style draws its caption.
QRect CaptionArea(const QAbstractButton& button, QStyle::SubElement element)
{
    QStyleOptionButton option;
    option.initFrom(&button);
    option.text = button.text();
    return button.style()->subElementRect(element, &option, &button);
}

void FitCaption(QPushButton& button)
{
    ShrinkToFit(button, button.text(), CaptionArea(button, QStyle::SE_PushButtonContents), Qt::TextShowMnemonic);
}

void FitCaption(QCheckBox& box)
{
    ShrinkToFit(box, box.text(), CaptionArea(box, QStyle::SE_CheckBoxContents), Qt::TextShowMnemonic);
}

void FitCaption(QLabel& label)
{
    ShrinkToFit(label, label.text(), label.contentsRect(), label.wordWrap() ? Qt::TextWordWrap : 0);
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
    std::string text =
        std::to_string(wiped) + " of " + std::to_string(entries) + " File(s) have been wiped.\r\n\r\n";
    text += notWiped.size() == 1 ? std::string("This entry was not wiped; its error report said why:")
                                 : "These " + Entries(static_cast<int>(notWiped.size())) +
                                       " were not wiped; their error reports said why:";
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
    case WipeOutcome::Wiped:
        text += "This file was wiped before the run stopped:\r\n";
        break;
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
        text += "\r\n\r\n" + Entries(notReached) + (notReached == 1 ? " after it was" : " after it were") +
                " not reached.";
    return text;
}

} // namespace

frmQuellon::frmQuellon(const WindowServices& services, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      messages_(services.messages),
      engineMessages_(services.messages, *this),
      File(services.File),
      links_(services.links),
      files_(services.files)
{
    setObjectName(QStringLiteral("frmQuellon"));
    setWindowTitle(QStringLiteral("Quellon v 1.0"));
    QIcon icon;
    icon.addFile(QStringLiteral(":/quellon/icon-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/quellon/icon-32.png"), QSize(32, 32));
    setWindowIcon(icon);
    setFixedSize(Twips(0, 0, 8085, 6240).size());

    const QFont boldCaption = EmphasisFont(font(), QFont::Bold);

    Label1 = PlaceLabel(this, "Label1",
                        QStringLiteral("Enter the file or files that you want to wipe, in the box below"),
                        Twips(1875, 240, 4335, 255));

    List1 = Place<QListWidget>(this, "List1", Twips(75, 600, 7935, 1230));
    List1->setSelectionMode(QAbstractItemView::SingleSelection);
    List1->setSortingEnabled(false);

    Frame2 = Place<QGroupBox>(this, "Frame2", Twips(2355, 2040, 3375, 1215));
    Remove = PlaceButton(Frame2, "Remove", QStringLiteral("&Remove..."), Twips(1680, 240, 1455, 375));
    BROWSE = PlaceButton(Frame2, "BROWSE", QStringLiteral("Add..."), Twips(120, 240, 1455, 375));
    CLEARbtn = PlaceButton(Frame2, "CLEARbtn", QStringLiteral("Clear"), Twips(1080, 720, 975, 375));
    Remove->setFont(boldCaption);
    BROWSE->setFont(boldCaption);

    Frame3 = Place<QGroupBox>(this, "Frame3", Twips(3135, 3360, 1815, 855));
    Delete = PlaceButton(Frame3, "Delete", QStringLiteral("&Wipe All"), Twips(240, 240, 1455, 495));
    Delete->setFont(boldCaption);

    Frame4 = Place<QGroupBox>(this, "Frame4", Twips(3315, 5280, 1455, 855));
    Quit = PlaceButton(Frame4, "Quit", QStringLiteral("&Quit"), Twips(120, 240, 1215, 495));
    Quit->setFont(boldCaption);

    Label2 = PlaceLabel(this, "Label2",
                        QStringLiteral("Files wiped can't be recovered by file recovery programs."),
                        Twips(120, 3480, 2415, 735));
    Label2->setWordWrap(true);
    Label2->setFont(boldCaption);
    SetTextColour(*Label2, kRed);

    Frame5 = Place<QGroupBox>(this, "Frame5", Twips(120, 2040, 2175, 615));
    optcls = Place<QCheckBox>(Frame5, "optcls", Twips(120, 120, 1935, 375));
    optcls->setText(QStringLiteral("Clear List when done."));
    optcls->setChecked(false);

    Label3 = PlaceLabel(this, "Label3", QStringLiteral("Send your email(s) to:"), Twips(120, 5760, 1575, 255));

    Label4 = PlaceLabel(this, "Label4", QString::fromLatin1(kSupportAddress), Twips(120, 6000, 2535, 255));
    Label4->setFont(EmphasisFont(font(), QFont::Normal));
    SetTextColour(*Label4, kBlue);
    Label4->setCursor(Qt::PointingHandCursor);
    Label4->installEventFilter(this);

    Image1 = Place<QLabel>(this, "Image1", Twips(5640, 3360, 2340, 2355));
    Image1->setPixmap(QPixmap(QStringLiteral(":/quellon/wipe.png")));
    Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    for (QPushButton* button : {Remove, BROWSE, CLEARbtn, Delete, Quit})
        FitCaption(*button);
    FitCaption(*optcls);
    for (QLabel* label : {Label1, Label2, Label3, Label4})
        FitCaption(*label);

    // Tab goes through the queue's commands before the others; "&Remove..." comes before "Add...".
    setTabOrder(List1, Remove);
    setTabOrder(Remove, BROWSE);
    setTabOrder(BROWSE, CLEARbtn);
    setTabOrder(CLEARbtn, Delete);
    setTabOrder(Delete, Quit);
    setTabOrder(Quit, optcls);
    List1->setFocus();

    connect(BROWSE, &QPushButton::clicked, this, &frmQuellon::BROWSE_Click);
    connect(Remove, &QPushButton::clicked, this, &frmQuellon::Remove_Click);
    connect(CLEARbtn, &QPushButton::clicked, this, &frmQuellon::CLEARbtn_Click);
    connect(Delete, &QPushButton::clicked, this, &frmQuellon::Delete_Click);
    connect(Quit, &QPushButton::clicked, this, &frmQuellon::Quit_Click);

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(), screen->availableGeometry()));

    Form_Load();
}

frmQuellon::~frmQuellon() = default;

void frmQuellon::Form_Load()
{
    Ripper = std::make_unique<FileRipper>(engineMessages_, files_);
}

bool frmQuellon::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Label4 && (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonRelease)) {
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

    WipeRun run(*this, *Ripper, engineMessages_);
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
            ShowErrorReport(messages_, ErrorInfo{EINVAL,
                                                 "The entry at position " + std::to_string(row) +
                                                     " of the list could not be selected.",
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
            messages_.Show(CancelledText(path, outcome, run.PassesDone(), notReached), MB_ICONINFORMATION,
                           kApplicationTitle);
            return;
        }
    }

    run.Finish();
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
    messages_.Show(NotAllWipedText(static_cast<int>(wipedRows.size()), entries, notWiped, clearWiped),
                   MB_ICONEXCLAMATION, "DONE");
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
