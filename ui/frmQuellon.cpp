// SPDX-License-Identifier: GPL-3.0-or-later

// What the main window does: its controls in their places, the queue's commands, the Wipe All run
// and its end, "&Quit" and the contact address. Its look is in WindowLook, the texts of a run's
// closing box in ClosingMessages.

#include "frmQuellon.h"

#include "ClosingMessages.h"
#include "ErrorInfo.h"
#include "ErrorReport.h"
#include "WindowLook.h"
#include "WipeRun.h"

#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QListWidget>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <optional>
#include <set>
#include <string>
#include <utility>

namespace quellon {

namespace {

// Where an entry of List1 keeps its path's bytes, as the open-file dialog gave them.
constexpr int kPathRole = Qt::UserRole;

// How often, and how far apart, the window looks for its frame after it is first shown.
constexpr int kPlacingLooks = 20;
constexpr int kPlacingLookMs = 50;

// The window is laid out in twips; 15 twips make one pixel at the default desktop font and 96 DPI.
constexpr double kTwipsPerPixel = 15;

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

// A file, whatever path leads to it: the device it is on and its inode number.
using FileIdentity = std::pair<dev_t, ino_t>;

// The file `path` leads to now, through every link; none when it leads to nothing.
std::optional<FileIdentity> IdentityOf(const std::string& path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return std::nullopt;
    return FileIdentity{status.st_dev, status.st_ino};
}

// Whether `path` leads to nothing at all now (a link whose file is gone leads nowhere too).
bool LeadsNowhere(const std::string& path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) != 0 && errno == ENOENT;
}

// While it lives, notes in `requested` every request to close `window`, and lets the request go on
// to be ignored by the run. Qt asks the application's filters in the reverse order of their
// installation, so one made after the run's WipeRun sees a close request before WipeRun swallows it.
class CloseRequestWatch final : public QObject {
public:
    CloseRequestWatch(QWidget& window, bool& requested) : window_(window), requested_(requested)
    {
        qApp->installEventFilter(this);
    }
    ~CloseRequestWatch() override { qApp->removeEventFilter(this); }

    CloseRequestWatch(const CloseRequestWatch&) = delete;
    CloseRequestWatch& operator=(const CloseRequestWatch&) = delete;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == &window_ && event->type() == QEvent::Close)
            requested_ = true;
        return false;
    }

private:
    QWidget& window_;
    bool& requested_;
};

} // namespace

frmQuellon::frmQuellon(const WindowServices& services, QWidget* parent)
    : QWidget(parent,
          Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
              Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      messages_(services.messages), engineMessages_(services.messages, *this), File(services.File),
      links_(services.links), files_(services.files), scale_(ScaleFor(QApplication::font(), logicalDpiY()))
{
    setObjectName(QStringLiteral("frmQuellon"));
    InstallAddressAccessible(); // before any control exists
    setWindowTitle(QStringLiteral("Quellon v 1.0"));
    setWindowIcon(WindowIcon());
    BuildLayout();
    ApplyFonts(Controls());
    ApplyTextColours(Controls());
    NameForScreenReaders(Controls());
    OrderTabStops();
    WireHandlers();

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(CentredOnScreen(screen->availableGeometry(), size()));

    Form_Load();
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

    Image1 = NewPicture(this, scale_.pixels);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(Twips(5640, 3360, 2340, 2355));
    Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

QRect frmQuellon::Twips(int left, int top, int width, int height) const
{
    // Each edge to its nearest pixel, so that what meets in the layout still meets at any scale.
    const auto pixels = [this](int twips) {
        return static_cast<int>(std::lround(twips * scale_.pixels / kTwipsPerPixel));
    };
    return {QPoint(pixels(left), pixels(top)), QPoint(pixels(left + width) - 1, pixels(top + height) - 1)};
}

WindowControls frmQuellon::Controls()
{
    return {*this, *Label1, *List1, *Remove, *BROWSE, *CLEARbtn, *Delete, *Quit, *Label2, *optcls, *Label3, *Label4,
        *Image1, scale_};
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

void frmQuellon::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::PaletteChange && Label2 != nullptr)
        ApplyTextColours(Controls());
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
    const QRect frame = frameGeometry();
    // Until the window manager has framed the window, its frame is not known: look again shortly.
    if (!centred_ && frame == geometry() && ++placingLooks_ < kPlacingLooks) {
        QTimer::singleShot(kPlacingLookMs, this, &frmQuellon::KeepOnScreen);
        return;
    }
    const QRect available = shownOn->availableGeometry();
    const QPoint placed = CentredOnScreen(available, frame.size());
    // The first time, the frame is centred wherever the window manager put it (it may place the
    // frame where the window itself was asked to be); after that the window is only kept on screen.
    if (frame.topLeft() != placed && (!centred_ || !available.contains(frame)))
        move(placed);
    centred_ = true;
}

bool frmQuellon::WindowManagerCloseRequest()
{
    if (runUnderWay_) {
        closeRequested_ = true;
        return true;
    }
    if (QApplication::activeModalWidget() == nullptr)
        return false; // nothing blocks the window: Qt closes it as usual
    // A box or the open-file dialog is up, and it would keep the request from the window. The window
    // closes now, and every loop of the thread ends, the box's and the dialog's included (they come
    // back as cancelled), so the program ends as it would have without them.
    QMetaObject::invokeMethod(
        this,
        [this] {
            close();
            QCoreApplication::exit(0);
        },
        Qt::QueuedConnection);
    return true;
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
        paths.push_back(List1->item(row)->data(kPathRole).toByteArray().toStdString());
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
    // The entry shows the path as text and keeps the dialog's bytes, which the run hands to the engine
    // as they are: a name that is not valid text in the locale is wiped under its own name.
    const QByteArray path = QByteArray::fromStdString(File.FileName());
    auto* entry = new QListWidgetItem(QFile::decodeName(path));
    entry->setData(kPathRole, path);
    List1->addItem(entry);
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
    closeRequested_ = false;
    runUnderWay_ = true;
    WipeQueue(QueuePaths());
    runUnderWay_ = false;
    // A close request that came during the run was ignored then; now that the run and its closing
    // box are over, the window closes as it would have, without a question.
    if (closeRequested_)
        close();
}

void frmQuellon::WipeQueue(const std::vector<std::string>& paths)
{
    WipeRun run(*this, *Ripper, engineMessages_, paths);
    const CloseRequestWatch closeWatch(*this, closeRequested_); // after `run`: it must see the request first
    const int entries = static_cast<int>(paths.size());
    // A later entry with the path of one wiped in this run, or one that leads nowhere now but led
    // before the run to a file wiped in it (another path to it, through a link or a linked folder),
    // is done already: it counts as wiped without being touched again.
    std::vector<std::optional<FileIdentity>> identities;
    identities.reserve(paths.size());
    for (const std::string& path : paths)
        identities.push_back(IdentityOf(path));
    std::set<std::string> wipedPaths;
    std::set<FileIdentity> wipedFiles;
    QList<int> wipedRows;
    std::vector<std::string> notWiped;
    for (int row = 0; row < entries; ++row) {
        const std::string& path = paths[static_cast<std::size_t>(row)];
        const std::optional<FileIdentity>& identity = identities[static_cast<std::size_t>(row)];
        // The entry being wiped is always the selected one, so the selection walks down the list.
        List1->setCurrentRow(row);
        if (wipedPaths.count(path) > 0 || (identity && wipedFiles.count(*identity) > 0 && LeadsNowhere(path))) {
            wipedRows.append(row);
            continue;
        }
        std::optional<ErrorInfo> error;
        const WipeOutcome outcome = run.Wipe(path, row, entries, error);
        if (error)
            ShowErrorReport(engineMessages_, *error);
        if (outcome == WipeOutcome::Wiped) {
            wipedPaths.insert(path);
            if (identity)
                wipedFiles.insert(*identity);
            wipedRows.append(row);
        } else if (outcome == WipeOutcome::Failed) {
            notWiped.push_back(path);
        }
        // A cancel ends the run with its own message, unless it came too late to stop anything:
        // the last entry was wiped all the same.
        const int notReached = entries - row - 1;
        if (outcome == WipeOutcome::Cancelled ||
            (run.CancelRequested() && (notReached > 0 || outcome != WipeOutcome::Wiped))) {
            run.Finish();
            EndOfCancelledRun(wipedRows,
                {path, outcome, run.PassesDone(), static_cast<int>(wipedRows.size()), entries, notReached, false});
            return;
        }
    }
    run.Finish();
    EndOfRun(wipedRows, notWiped);
}

void frmQuellon::TakeOffList(const QList<int>& rows)
{
    for (auto row = rows.crbegin(); row != rows.crend(); ++row)
        delete List1->takeItem(*row);
    List1->clearSelection();
}

void frmQuellon::EndOfCancelledRun(const QList<int>& wipedRows, CancelledRun run)
{
    // As after a run with failures: the wiped entries leave the list, the others stay to be done.
    run.clearedWiped = optcls->isChecked() && !wipedRows.isEmpty();
    if (run.clearedWiped)
        TakeOffList(wipedRows);
    messages_.Show(CancelledText(run), MB_ICONINFORMATION, kApplicationTitle);
}

void frmQuellon::EndOfRun(const QList<int>& wipedRows, const std::vector<std::string>& notWiped)
{
    if (notWiped.empty()) {
        if (optcls->isChecked())
            List1->clear();
        messages_.Show(kAllWipedText, MB_ICONINFORMATION, kRunDoneTitle);
        return;
    }

    // Only what was wiped leaves the list, so that the list shows what is left to do.
    const int entries = List1->count();
    const bool clearWiped = optcls->isChecked();
    if (clearWiped)
        TakeOffList(wipedRows);
    messages_.Show(NotAllWipedText(static_cast<int>(wipedRows.size()), entries, notWiped, clearWiped),
        MB_ICONEXCLAMATION, kRunDoneTitle);
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
