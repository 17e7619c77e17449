#include "gui/MainWindow.h"

#include <cmath>
#include <limits>
#include <utility>

#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>

#include "base/Numbers.h"
#include "base/Paths.h"
#include "command/CommandProtocol.h"
#include "command/Interpreter.h"
#include "context/Settings.h"
#include "display/TransferFunction.h"
#include "display/ViewMapping.h"
#include "gui/CommandWindow.h"
#include "gui/DialogProvider.h"
#include "gui/ImageListWindow.h"
#include "gui/LongWorkDialog.h"
#include "gui/PictureView.h"
#include "gui/PrivateMessages.h"
#include "gui/ThresholdsWindow.h"
#include "gui/ToolWindowFrame.h"
#include "gui/WorkingDirectory.h"

namespace skyvane {

namespace {

QString fromLocal(const std::string& text)
{
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

std::string toLocal(const QString& text)
{
    return text.toLocal8Bit().toStdString();
}

// The file a drag carries when it carries exactly one local file that is not a folder (what
// the open dialog could have returned); empty for anything else: several files, a remote
// address, text.
QString draggedFile(const QMimeData* data)
{
    if (data == nullptr || !data->hasUrls())
        return {};
    const QList<QUrl> urls = data->urls();
    if (urls.size() != 1 || !urls.front().isLocalFile())
        return {};
    const QString path = urls.front().toLocalFile();
    if (path.isEmpty() || QFileInfo(path).isDir())
        return {};
    return path;
}

// A drop is always taken as a copy, never as a move: a source told that its file was moved
// may delete it. Sources that allow no copy are refused.
bool takeAsCopy(QDropEvent* event)
{
    if (!(event->possibleActions() & Qt::CopyAction) || draggedFile(event->mimeData()).isEmpty())
        return false;
    event->setDropAction(Qt::CopyAction);
    event->accept();
    return true;
}

// The menus of the main window, in the order of the menu bar, and its popup menu.
enum class Menu { File, Toolbars, Image, ImageList, Registration, Coaddition, Equalisation, Help, Popup };

struct MenuTitle {
    Menu menu;
    const char* title;
};

constexpr MenuTitle MenuTitles[] = {
    {Menu::File, "&File"},
    {Menu::Toolbars, "Toolbars"},
    {Menu::Image, "Image"},
    {Menu::ImageList, "Image list"},
    {Menu::Registration, "Co-registration"},
    {Menu::Coaddition, "Co-addition"},
    {Menu::Equalisation, "Equalisation"},
    {Menu::Help, "&Help"},
};

// What a menu item asks before it submits its command; the command is the item's
// `command` text followed by the answer.
enum class Compose {
    None,     // the item has behaviour of its own (runCommand), or none yet
    Constant, // a number: the "Enter constant" dialog (prompt, initial value)
    Image,    // an image file, started in the working directory; ")" closes the command
    List,     // an image list's tag: the "Select image list" dialog (prompt)
    ListConstant, // a list's tag (prompt), then a number (listPrompt, initial): "TAG N"
    ListImage,    // a list's tag (prompt), then an image file: "TAG (FILE)"
    ThreeImages,  // three image files, red, green and blue: "(RED) (GREEN) (BLUE)"
    Calibration,  // a list's tag (prompt), a dark, then a flat, which may be cancelled:
                  // "TAG (DARK) (FLAT)" or "TAG (DARK)"
    Command,  // nothing: the command as it stands
    Gamma,    // a gamma from 0.1 to 10: the "Enter constant" dialog, asked again until
              // the answer lies in that range or the user cancels
};

// One item of the menus: where it stands, its id (0 for a separator), its text, its key,
// whether it carries a check mark, and the command it composes.
struct MenuAction {
    Menu menu;
    int id = 0;
    const char* text = nullptr;
    QKeySequence::StandardKey key = QKeySequence::UnknownKey;
    bool checkable = false;
    Compose compose = Compose::None;
    const char* prompt = nullptr;
    double initial = 0.0;
    const char* command = nullptr;
    const char* constantPrompt = nullptr; // ListConstant: the caption of "Enter constant"
};

// Every item of the menu bar and the popup menu, in menu order. The platform's standard
// keys open, save, quit and show About (Ctrl+O, Ctrl+S, Ctrl+Q and F1 on Linux); they work
// while the main window is the active window. The Toolbars items of the tool windows carry
// a check mark that mirrors their visibility (they toggle it themselves); the Equalisation
// items carry one on the display's choice.
const MenuAction MenuActions[] = {
    {.menu = Menu::File, .id = MainIds::OpenFits, .text = "Open FITS", .key = QKeySequence::Open},
    {.menu = Menu::File, .id = MainIds::SaveFits, .text = "Save FITS", .key = QKeySequence::Save},
    {.menu = Menu::File, .id = MainIds::ExportBmp, .text = "Export to BMP"},
    {.menu = Menu::File},
    {.menu = Menu::File, .id = MainIds::WorkingDirectory, .text = "Working directory"},
    {.menu = Menu::File, .id = MainIds::Preferences, .text = "Preferences"},
    {.menu = Menu::File},
    {.menu = Menu::File, .id = MainIds::Exit, .text = "E&xit", .key = QKeySequence::Quit},

    {.menu = Menu::Toolbars, .id = MainIds::MoveToLeft, .text = "Move to Left"},
    {.menu = Menu::Toolbars, .id = MainIds::MoveToLeft2, .text = "Move to Left (2)"},
    {.menu = Menu::Toolbars},
    {.menu = Menu::Toolbars, .id = MainIds::ImageListWindow, .text = "Image List", .checkable = true},
    {.menu = Menu::Toolbars, .id = MainIds::ThresholdsWindow, .text = "Thresholds", .checkable = true},
    {.menu = Menu::Toolbars, .id = MainIds::CommandWindow, .text = "Command window", .checkable = true},
    {.menu = Menu::Toolbars},
    {.menu = Menu::Toolbars, .id = MainIds::ShowAll, .text = "&Show all"},
    {.menu = Menu::Toolbars, .id = MainIds::HideAll, .text = "&Hide all"},

    {.menu = Menu::Image, .id = MainIds::AddConstant, .text = "Add constant", .compose = Compose::Constant,
     .prompt = "Enter constant for addition", .initial = 0.0, .command = "add "},
    {.menu = Menu::Image, .id = MainIds::SubtractConstant, .text = "Subtract constant", .compose = Compose::Constant,
     .prompt = "Enter constant for substraction", .initial = 0.0, .command = "sub "},
    {.menu = Menu::Image, .id = MainIds::MultiplyConstant, .text = "Multiply by constant", .compose = Compose::Constant,
     .prompt = "Enter constant for multiplication", .initial = 1.0, .command = "mult "},
    {.menu = Menu::Image, .id = MainIds::DivideConstant, .text = "Division by constant", .compose = Compose::Constant,
     .prompt = "Enter constant for division", .initial = 1.0, .command = "div "},
    {.menu = Menu::Image},
    {.menu = Menu::Image, .id = MainIds::AddImage, .text = "Add image", .compose = Compose::Image, .command = "add ("},
    {.menu = Menu::Image, .id = MainIds::SubtractImage, .text = "Subtract image", .compose = Compose::Image, .command = "sub ("},
    {.menu = Menu::Image, .id = MainIds::MultiplyImage, .text = "Multiply by image", .compose = Compose::Image, .command = "mult ("},
    {.menu = Menu::Image, .id = MainIds::DivideImage, .text = "Divide by image", .compose = Compose::Image, .command = "div ("},
    {.menu = Menu::Image},
    {.menu = Menu::Image, .id = MainIds::ComposeColour, .text = "Compose colour image", .compose = Compose::ThreeImages,
     .command = "rgbcompose "},
    {.menu = Menu::Image, .id = MainIds::RedPlane, .text = "Red plane", .compose = Compose::Command, .command = "channel red"},
    {.menu = Menu::Image, .id = MainIds::GreenPlane, .text = "Green plane", .compose = Compose::Command, .command = "channel green"},
    {.menu = Menu::Image, .id = MainIds::BluePlane, .text = "Blue plane", .compose = Compose::Command, .command = "channel blue"},
    {.menu = Menu::Image, .id = MainIds::Luminance, .text = "Luminance", .compose = Compose::Command, .command = "channel luminance"},
    {.menu = Menu::Image, .id = MainIds::Debayer, .text = "Debayer", .compose = Compose::Command, .command = "debayer"},

    {.menu = Menu::ImageList, .id = MainIds::ListAddConstant, .text = "Add constant", .compose = Compose::ListConstant,
     .prompt = "Select image list for addition", .initial = 0.0, .command = "listadd ", .constantPrompt = "Enter constant for addition"},
    {.menu = Menu::ImageList, .id = MainIds::ListSubtractConstant, .text = "Subtract constant", .compose = Compose::ListConstant,
     .prompt = "Select image list for subtraction", .initial = 0.0, .command = "listsub ", .constantPrompt = "Enter constant for substraction"},
    {.menu = Menu::ImageList, .id = MainIds::ListMultiplyConstant, .text = "Multiply by constant", .compose = Compose::ListConstant,
     .prompt = "Select image list for multiplication", .initial = 1.0, .command = "listmult ", .constantPrompt = "Enter constant for multiplication"},
    {.menu = Menu::ImageList, .id = MainIds::ListDivideConstant, .text = "Division by constant", .compose = Compose::ListConstant,
     .prompt = "Select image list for division", .initial = 1.0, .command = "listdiv ", .constantPrompt = "Enter constant for division"},
    {.menu = Menu::ImageList},
    {.menu = Menu::ImageList, .id = MainIds::ListAddImage, .text = "Add image", .compose = Compose::ListImage,
     .prompt = "Select image list for addition", .command = "listadd "},
    {.menu = Menu::ImageList, .id = MainIds::ListSubtractImage, .text = "Subtract image", .compose = Compose::ListImage,
     .prompt = "Select image list for subtraction", .command = "listsub "},
    {.menu = Menu::ImageList, .id = MainIds::ListMultiplyImage, .text = "Multiply by image", .compose = Compose::ListImage,
     .prompt = "Select image list for multiplication", .command = "listmult "},
    {.menu = Menu::ImageList, .id = MainIds::ListDivideImage, .text = "Divide by image", .compose = Compose::ListImage,
     .prompt = "Select image list for division", .command = "listdiv "},
    {.menu = Menu::ImageList},
    {.menu = Menu::ImageList, .id = MainIds::ListCalibrate, .text = "Calibrate...", .compose = Compose::Calibration,
     .prompt = "Select image list for calibration", .command = "calibrate "},
    {.menu = Menu::ImageList, .id = MainIds::ListDebayer, .text = "Debayer", .compose = Compose::List,
     .prompt = "Select image list for debayering", .command = "listdebayer "},
    {.menu = Menu::ImageList, .id = MainIds::ListMeasure, .text = "Measure", .compose = Compose::List,
     .prompt = "Select image list to measure", .command = "measure "},
    {.menu = Menu::ImageList, .id = MainIds::ListKeepBest, .text = "Keep best...", .compose = Compose::ListConstant,
     .prompt = "Select image list to keep the best frames of", .initial = 90.0, .command = "keepbest ",
     .constantPrompt = "Enter percentage of frames to keep"},

    {.menu = Menu::Registration, .id = MainIds::RegisterOneStar, .text = "One star"},
    {.menu = Menu::Registration, .id = MainIds::RegisterCorrelation, .text = "Auto-correlation", .compose = Compose::List,
     .prompt = "Select image list for registration by auto-correlation", .command = "autoreg "},
    {.menu = Menu::Registration, .id = MainIds::RegisterPattern, .text = "Star pattern", .compose = Compose::List,
     .prompt = "Select image list for registration by star patterns", .command = "patternreg "},

    {.menu = Menu::Coaddition, .id = MainIds::CombineMedian, .text = "Median image", .compose = Compose::List,
     .prompt = "Select image list for median co-addition", .command = "median "},
    {.menu = Menu::Coaddition, .id = MainIds::CombineMean, .text = "Arithmetic sum", .compose = Compose::List,
     .prompt = "Select image list for standard co-addition", .command = "mean "},
    {.menu = Menu::Coaddition, .id = MainIds::CombineMinMaxRejection, .text = "Min-max rejection", .compose = Compose::List,
     .prompt = "Select image list for min-max rejection", .command = "minmaxrej "},
    {.menu = Menu::Coaddition, .id = MainIds::CombineSigmaClipping, .text = "Sigma clipping"},
    {.menu = Menu::Coaddition, .id = MainIds::CombineWinsorisedClipping, .text = "Winsorised sigma clipping..."},
    {.menu = Menu::Coaddition},
    {.menu = Menu::Coaddition, .id = MainIds::CoaddNormalisation, .text = "Normalisation..."},
    {.menu = Menu::Coaddition, .id = MainIds::CoaddWeights, .text = "Weights..."},

    {.menu = Menu::Equalisation, .id = MainIds::EqualiseLogarithm, .text = "Logarithm", .checkable = true,
     .compose = Compose::Command, .command = "equalise log"},
    {.menu = Menu::Equalisation, .id = MainIds::EqualiseGamma, .text = "Gamma adjustment", .checkable = true,
     .compose = Compose::Gamma, .prompt = "Enter gamma (0.1 to 10)", .initial = GammaDefault, .command = "equalise gamma "},
    {.menu = Menu::Equalisation, .id = MainIds::EqualiseLinear, .text = "Linear", .checkable = true,
     .compose = Compose::Command, .command = "equalise linear"},

    {.menu = Menu::Help, .id = MainIds::About, .text = "&About", .key = QKeySequence::HelpContents},

    {.menu = Menu::Popup, .id = MainIds::PopupStat, .text = "Stat", .compose = Compose::Command, .command = "stat"},
    {.menu = Menu::Popup, .id = MainIds::PopupSize, .text = "Size", .compose = Compose::Command, .command = "size"},
    {.menu = Menu::Popup, .id = MainIds::PopupHeaders, .text = "Headers", .compose = Compose::Command, .command = "headers"},
    {.menu = Menu::Popup, .id = MainIds::PopupClearDisplay, .text = "Clear display"},
};

const MenuAction* FindMenuAction(int id)
{
    for (const MenuAction& action : MenuActions)
        if (action.id == id && id != 0)
            return &action;
    return nullptr;
}

QStringList listTags(const ImageListTree& lists)
{
    QStringList tags;
    for (int n = 1; n <= lists.ListCount(); ++n)
        tags << fromLocal(LabelTag(lists.ListLabel(n)));
    return tags;
}

// The number of iterations as typed, truncated toward zero and kept in the 32-bit range.
std::int64_t truncatedIterations(double value)
{
    if (std::isnan(value))
        return 0;
    const double t = std::trunc(value);
    if (t > std::numeric_limits<std::int32_t>::max())
        return std::numeric_limits<std::int32_t>::max();
    if (t < std::numeric_limits<std::int32_t>::min())
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int64_t>(t);
}

} // namespace

std::string CommandLinePath(const std::string& argument)
{
    if (argument.size() >= 2 && argument.front() == '"' && argument.back() == '"')
        return argument.substr(1, argument.size() - 2);
    return argument;
}

void MessageBoxFeedback::showError(const std::string& text)
{
    showFileError(text, std::string());
}

void MessageBoxFeedback::showNotice(const std::string& text)
{
    QMessageBox box(QMessageBox::Information, QStringLiteral("Skyvane"), fromLocal(text), QMessageBox::Ok, owner_);
    box.setAccessibleName(QStringLiteral("Skyvane"));
    box.exec();
}

void MessageBoxFeedback::showFileError(const std::string& text, const std::string& path)
{
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Error"), fromLocal(text), QMessageBox::Ok, owner_);
    box.setAccessibleName(QStringLiteral("Error"));
    // The exact message stays the box's text; the file it is about goes under it.
    if (!path.empty())
        box.setInformativeText(fromLocal(path));
    box.exec();
}

MainWindow::MainWindow(const MainWindowOptions& options)
{
    setObjectName(QStringLiteral("Skyvane"));
    setWindowTitle(QString::fromLatin1(ApplicationTitle.data(), static_cast<qsizetype>(ApplicationTitle.size())));
    resize(1000, 800);
    setAcceptDrops(true);

    if (options.dialogs) {
        dialogs_ = options.dialogs;
    } else {
        ownDialogs_ = std::make_unique<QtDialogProvider>();
        dialogs_ = ownDialogs_.get();
    }
    Feedback* messages = options.messages;
    if (!messages) {
        ownMessages_ = std::make_unique<MessageBoxFeedback>(this);
        messages = ownMessages_.get();
    }

    view_ = new PictureView(this);
    setCentralWidget(view_);
    workbench_ = std::make_unique<Workbench>(*messages, *view_, static_cast<StatusSink&>(*this));
    view_->attachDisplay(&workbench_->context().display);
    // The long part of a command runs beside the windows, behind a progress dialog.
    longWork_ = new LongWorkDialog(this, *messages);
    workbench_->context().longWork = longWork_;

    // Settings first: the Image list window shows the start-up list of the working directory.
    const std::string settingsPath = options.settingsPath.empty() ? DefaultSettingsPath() : options.settingsPath;
    workbench_->start(LoadSettings(settingsPath), settingsPath);

    imageList_ = new ImageListWindow(toolWindows_, *workbench_, *dialogs_, this, QRect(900, 100, 300, 500));
    // Taller than the Thresholds window's first 135 pixels: its histogram stands below.
    thresholds_ = new ThresholdsWindow(toolWindows_, *workbench_, this, QRect(100, 600, 438, 280));
    commandWindow_ = new CommandWindow(toolWindows_, workbench_->context(), this, QRect(850, 400, 300, 500));
    commandWindow_->setExecuteTarget(this);

    createMenus();
    createStatusBar();
    showEqualisation();

    // The Thresholds window asks for a redraw after every change of an edit, so one step
    // of a trackbar asks twice. The picture is recomputed once, when it is next needed
    // (painting, export, a look at the picture), through the thresholds of that moment.
    workbench_->setRedrawListener([this] {
        if (workbench_->context().display.isImageDisplayed())
            view_->update();
    });
    connect(view_, &PictureView::aboutToPaint, this, [this] {
        if (firstPaintPending_)
            firstPaint();
        workbench_->finishRedraw();
    });
    connect(view_, &PictureView::pointerMoved, this, &MainWindow::pointerMoved);
    connect(view_, &PictureView::viewChanged, this, &MainWindow::refreshReadout);
    connect(view_, &PictureView::pictureCleared, this, [this] { statusParts_[3]->clear(); });
    connect(view_, &PictureView::rightButtonReleased, this, &MainWindow::rightButtonReleased);
    connect(view_, &PictureView::leftButtonReleased, this, &MainWindow::leftButtonReleased);
    connect(imageList_, &ToolWindow::hiddenByClose, this, [this] { action(MainIds::ImageListWindow)->setChecked(false); });
    connect(thresholds_, &ToolWindow::hiddenByClose, this, [this] { action(MainIds::ThresholdsWindow)->setChecked(false); });
    connect(thresholds_, &ThresholdsWindow::equalisationChanged, this, &MainWindow::showEqualisation);
    connect(commandWindow_, &ToolWindow::hiddenByClose, this, [this] { action(MainIds::CommandWindow)->setChecked(false); });
    connect(imageList_, &ImageListWindow::displayRequested, this, [this](const QString& path) { openImage(toLocal(path)); });
}

MainWindow::~MainWindow()
{
    // The tool windows use the workbench while they go, and its display paints into the
    // view: the tool windows go first, then the workbench, then the view.
    delete imageList_;
    delete thresholds_;
    delete commandWindow_;
    view_->attachDisplay(nullptr);
    workbench_.reset();
    delete view_;
}

QWidget* MainWindow::displayView() const
{
    return view_;
}

void MainWindow::createMenus()
{
    QMenu* menus[static_cast<int>(Menu::Popup) + 1] = {};
    for (const MenuTitle& title : MenuTitles)
        menus[static_cast<int>(title.menu)] = menuBar()->addMenu(QString::fromUtf8(title.title));
    popup_ = new QMenu(QStringLiteral("MyPopupMenu"), this);
    menus[static_cast<int>(Menu::Popup)] = popup_;

    for (const MenuAction& item : MenuActions) {
        QMenu* menu = menus[static_cast<int>(item.menu)];
        if (item.id == 0) {
            menu->addSeparator();
            continue;
        }
        QAction* a = menu->addAction(QString::fromUtf8(item.text));
        a->setData(item.id);
        if (item.key != QKeySequence::UnknownKey)
            a->setShortcut(item.key);
        if (item.checkable) {
            a->setCheckable(true);
            a->setChecked(true);
        }
        const int id = item.id;
        connect(a, &QAction::triggered, this, [this, id] { runCommand(id); });
    }

    for (QAction* a : menuBar()->actions())
        a->menu()->setAccessibleName(a->text().remove(QLatin1Char('&')));
    popup_->setAccessibleName(QStringLiteral("MyPopupMenu"));
}

void MainWindow::createStatusBar()
{
    QStatusBar* bar = statusBar();
    bar->setSizeGripEnabled(true);
    bar->setAccessibleName(QStringLiteral("Status bar"));
    // Right edges at 50, 100 and 174 pixels, then the value part over the rest. A label
    // without an accessible name of its own is read out by its text ("X=10"); the
    // description says which part it is.
    const int widths[3] = {50, 50, 74};
    for (int i = 0; i < 4; ++i) {
        auto* label = new QLabel(bar);
        if (i < 3)
            label->setFixedWidth(widths[i]);
        label->setAccessibleDescription(QStringLiteral("Status part %1").arg(i + 1));
        bar->addWidget(label, i < 3 ? 0 : 1);
        statusParts_[i] = label;
    }
}

QAction* MainWindow::action(int id) const
{
    const QList<QMenu*> menus = findChildren<QMenu*>();
    for (QMenu* menu : menus)
        for (QAction* a : menu->actions())
            if (a->data().isValid() && a->data().toInt() == id)
                return a;
    return nullptr;
}

bool MainWindow::event(QEvent* event)
{
    if (event->type() == PrivateMessages::execute()) {
        const int code = static_cast<CodeEvent*>(event)->lowCode();
        // One command at a time: an execute message that comes while a command's long part
        // runs waits for its end.
        if (longWork_->busy()) {
            waitingCodes_.push_back(code);
            return true;
        }
        // Registration, frame quality and the choices of co-addition leave Image A alone;
        // any other command may change it, and then it is no longer known to be the file it
        // was loaded from.
        const std::string& command = context().CommandSlot;
        const auto leavesImageA = [&command] {
            for (const char* prefix : {"starreg ", "autoreg ", "patternreg ", "measure ", "keepbest ", "normalise ", "weight "})
                if (command.rfind(prefix, 0) == 0)
                    return true;
            return false;
        };
        if (!leavesImageA())
            shownPath_.clear();
        // Only code 101 executes; anything else is ignored.
        workbench_->executeCommand(code, *commandWindow_);
        showEqualisation();
        for (const int waiting : std::exchange(waitingCodes_, {}))
            PostCode(this, PrivateMessages::execute(), waiting);
        return true;
    }
    return QMainWindow::event(event);
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event)
{
    if (!takeAsCopy(event))
        event->ignore();
}

void MainWindow::dragMoveEvent(QDragMoveEvent* event)
{
    if (!takeAsCopy(event))
        event->ignore();
}

void MainWindow::dropEvent(QDropEvent* event)
{
    if (!takeAsCopy(event)) {
        event->ignore();
        return;
    }
    // Opened once the drop has finished: a failed load shows a modal box, and the program
    // the file came from should not wait for it.
    const QString path = draggedFile(event->mimeData());
    QTimer::singleShot(0, this, [this, path] { openFits(path); });
}

void MainWindow::SubmitCommand(const std::string& text)
{
    // Executed through the main window's own execute message, sent synchronously.
    workbench_->submitCommand(text, *commandWindow_, [this] { SendCode(this, PrivateMessages::execute(), CodeExecute); });
}

void MainWindow::runCommand(int id)
{
    // Any other action ends the wait for a star.
    stopPickingStar();
    if (const MenuAction* item = FindMenuAction(id); item != nullptr && item->compose != Compose::None) {
        composeAndSubmit(id);
        // A checkable item toggled its own mark; the marks show what the display does.
        showEqualisation();
        return;
    }
    Workbench& workbench = *workbench_;
    switch (id) {
    case MainIds::OpenFits:
        openFits(dialogs_->openFitsFile(this, fileDialogFolder()));
        break;
    case MainIds::SaveFits: {
        if (!context().display.isImageDisplayed())
            break;
        const QString path = dialogs_->saveFitsFile(this, fileDialogFolder());
        if (path.isEmpty())
            break;
        folderUsed(path);
        const std::string local = toLocal(path);
        // The caption names the file only when it was written; a failure has been
        // reported and leaves the caption as it was.
        if (workbench.saveImage(local))
            setWindowTitle(fromLocal(MainWindowTitle(local)));
        break;
    }
    case MainIds::ExportBmp: {
        if (!context().display.isImageDisplayed())
            break;
        const QString path = dialogs_->saveBitmapFile(this, fileDialogFolder());
        workbench.finishRedraw();
        if (path.isEmpty())
            break;
        folderUsed(path);
        (void)workbench.exportPicture(toLocal(path)); // reports its failures
        break;
    }
    case MainIds::WorkingDirectory:
        ChooseWorkingDirectory(this, workbench, *dialogs_, QStringLiteral("\nPlease select a folder"));
        break;
    case MainIds::Preferences:
        dialogs_->showPreferences(this, context());
        break;
    case MainIds::About:
        dialogs_->showAbout(this);
        break;
    case MainIds::Exit:
        QTimer::singleShot(0, this, &QWidget::close);
        break;
    case MainIds::MoveToLeft:
        arrange(imageList_, commandWindow_);
        break;
    case MainIds::MoveToLeft2:
        arrange(commandWindow_, imageList_);
        break;
    case MainIds::ImageListWindow:
        toggleToolWindow(0, id);
        break;
    case MainIds::ThresholdsWindow:
        toggleToolWindow(1, id);
        break;
    case MainIds::CommandWindow:
        toggleToolWindow(2, id);
        break;
    case MainIds::ShowAll:
        showAllToolWindows(true);
        break;
    case MainIds::HideAll:
        showAllToolWindows(false);
        break;
    case MainIds::CombineSigmaClipping:
        sigmaClipping(QStringLiteral("Select image list for sigma clipping"), "sigmaclip ");
        break;
    case MainIds::CombineWinsorisedClipping:
        sigmaClipping(QStringLiteral("Select image list for winsorised sigma clipping"), "winsorclip ");
        break;
    case MainIds::CoaddNormalisation:
        chooseStacking(QStringLiteral("Select normalisation of co-addition"),
                       {QStringLiteral("none"), QStringLiteral("additive"), QStringLiteral("multiplicative"), QStringLiteral("additive+scale")},
                       fromLocal(std::string(NormalisationName(context().settings.Stacking.normalisation))), "normalise ");
        break;
    case MainIds::CoaddWeights:
        chooseStacking(QStringLiteral("Select weights of co-addition"), {QStringLiteral("none"), QStringLiteral("noise")},
                       fromLocal(std::string(WeightingName(context().settings.Stacking.weighting))), "weight ");
        break;
    case MainIds::RegisterOneStar:
        oneStar();
        break;
    case MainIds::PopupClearDisplay:
        SubmitCommand("clear");
        setWindowTitle(fromLocal(MainWindowTitle("")));
        break;
    case MainIds::Redraw:
        workbench.requestRedraw();
        break;
    case MainIds::Auto:
        thresholds_->autoThresholds();
        break;
    case MainIds::Invert:
        workbench.thresholds().invert();
        break;
    default:
        break;
    }
}

void MainWindow::openFits(const QString& path)
{
    if (path.isEmpty())
        return;
    folderUsed(path);
    openImage(toLocal(path));
}

void MainWindow::composeAndSubmit(int id)
{
    const MenuAction& item = *FindMenuAction(id);
    const std::string command = item.command;
    switch (item.compose) {
    case Compose::None:
        break;
    case Compose::Constant:
        if (const std::optional<double> value = dialogs_->askConstant(this, QString::fromUtf8(item.prompt), item.initial))
            SubmitCommand(command + FormatReal(*value, 30));
        break;
    case Compose::Image:
        if (const QString path = dialogs_->askImageFile(this, fromLocal(context().settings.WorkingDirectory)); !path.isEmpty())
            SubmitCommand(command + toLocal(path) + ")");
        break;
    case Compose::List:
        if (const QString tag = dialogs_->askImageList(this, QString::fromUtf8(item.prompt), listTags(context().lists)); !tag.isEmpty())
            SubmitCommand(command + toLocal(tag));
        break;
    case Compose::ListConstant:
    case Compose::ListImage: {
        const QString tag = dialogs_->askImageList(this, QString::fromUtf8(item.prompt), listTags(context().lists));
        if (tag.isEmpty())
            break;
        const std::string listed = command + toLocal(tag);
        if (item.compose == Compose::ListConstant) {
            if (const std::optional<double> value = dialogs_->askConstant(this, QString::fromUtf8(item.constantPrompt), item.initial))
                SubmitCommand(listed + " " + FormatReal(*value, 30));
        } else if (const QString path = dialogs_->askImageFile(this, fromLocal(context().settings.WorkingDirectory)); !path.isEmpty()) {
            SubmitCommand(listed + " (" + toLocal(path) + ")");
        }
        break;
    }
    case Compose::ThreeImages: {
        std::string files;
        for (const char* plane : {"Red plane", "Green plane", "Blue plane"}) {
            const QString path = dialogs_->askImageFile(this, fromLocal(context().settings.WorkingDirectory), QString::fromUtf8(plane));
            if (path.isEmpty())
                return;
            files += (files.empty() ? "(" : " (") + toLocal(path) + ")";
        }
        SubmitCommand(command + files);
        break;
    }
    case Compose::Calibration: {
        const QString tag = dialogs_->askImageList(this, QString::fromUtf8(item.prompt), listTags(context().lists));
        if (tag.isEmpty())
            break;
        const QString folder = fromLocal(context().settings.WorkingDirectory);
        const QString dark = dialogs_->askImageFile(this, folder, QStringLiteral("Dark"));
        if (dark.isEmpty())
            break;
        std::string composed = command + toLocal(tag) + " (" + toLocal(dark) + ")";
        // Cancelled: the dark alone.
        if (const QString flat = dialogs_->askImageFile(this, folder, QStringLiteral("Flat (Cancel: the dark alone)")); !flat.isEmpty())
            composed += " (" + toLocal(flat) + ")";
        SubmitCommand(composed);
        break;
    }
    case Compose::Command:
        SubmitCommand(command);
        break;
    case Compose::Gamma:
        while (const std::optional<double> value = dialogs_->askConstant(this, QString::fromUtf8(item.prompt), item.initial)) {
            if (GammaAccepted(*value)) {
                SubmitCommand(command + FormatReal(*value, 15));
                break;
            }
            workbench_->feedback().showError("Gamma must be from 0.1 to 10.");
        }
        break;
    }
}

void MainWindow::chooseStacking(const QString& prompt, const QStringList& words, const QString& current, const std::string& command)
{
    if (const QString word = dialogs_->askChoice(this, prompt, words, current); !word.isEmpty())
        SubmitCommand(command + toLocal(word));
}

void MainWindow::sigmaClipping(const QString& prompt, const std::string& command)
{
    const QString tag = dialogs_->askImageList(this, prompt, listTags(context().lists));
    if (tag.isEmpty())
        return;
    const std::optional<double> range = dialogs_->askConstant(this, QStringLiteral("Enter clipping range (sigma units)"), 3.0);
    if (!range)
        return;
    const std::optional<double> iterations = dialogs_->askConstant(this, QStringLiteral("Enter number of iterations"), 2.0);
    if (!iterations)
        return;
    SubmitCommand(command + toLocal(tag) + " " + FormatReal(*range, 15) + " " + FormatInteger(truncatedIterations(*iterations)));
}

void MainWindow::oneStar()
{
    const QString tag = dialogs_->askImageList(this, QStringLiteral("Select image list for registration on one star"),
                                               listTags(context().lists));
    if (tag.isEmpty())
        return;
    const std::string list = toLocal(tag);
    const int n = FindListByName(context().lists, BracketArgument(list));
    const std::vector<std::string> frames = n > 0 ? SelectedFilePaths(context().lists, n) : std::vector<std::string>{};
    if (frames.empty()) {
        // Nothing to click on: the command tells what is missing.
        SubmitCommand("starreg " + list);
        return;
    }
    const std::string& reference = frames.front();
    if (shownPath_ != reference || !context().imagePresent()) {
        workbench_->feedback().showError("Image A is not the first selected frame of the list " + list +
                                         ", which is displayed now: click the star on it.");
        openImage(reference);
        if (shownPath_ != reference || !context().imagePresent())
            return; // it could not be shown (its messages have been shown)
    }
    pickingStarList_ = list;
    view_->setCursor(Qt::CrossCursor);
}

void MainWindow::stopPickingStar()
{
    if (pickingStarList_.empty())
        return;
    pickingStarList_.clear();
    view_->unsetCursor();
}

void MainWindow::leftButtonReleased(int x, int y)
{
    if (pickingStarList_.empty() || !overPicture(x, y))
        return;
    const std::string list = pickingStarList_;
    const bool referenceShown = !shownPath_.empty();
    stopPickingStar();
    // Clicked where the pointer readout shows X and Y, at any zoom.
    const DisplayBitmap& bitmap = context().display.bitmap();
    const PointerReadout readout = ReadPointer(view_->view(), bitmap.width(), bitmap.height(), x, y);
    if (referenceShown)
        SubmitCommand("starreg " + list + " " + FormatInteger(readout.numberX) + " " + FormatInteger(readout.numberY));
}

void MainWindow::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape && !pickingStarList_.empty()) {
        stopPickingStar();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void MainWindow::toggleToolWindow(int position, int id)
{
    ToggleToolWindow(toolWindows_.windows[static_cast<std::size_t>(position)], action(id));
}

void MainWindow::showAllToolWindows(bool show)
{
    if (show)
        ShowAllToolWindows(toolWindows_);
    else
        HideAllToolWindows(toolWindows_);
    for (int id : {MainIds::ImageListWindow, MainIds::ThresholdsWindow, MainIds::CommandWindow})
        action(id)->setChecked(show);
}

void MainWindow::arrange(QWidget* upper, QWidget* lower)
{
    ArrangeToolWindows(this, statusBar(), upper, lower);
}

QString MainWindow::fileDialogFolder() const
{
    return fromLocal(lastFileFolder_.empty() ? context().settings.WorkingDirectory : lastFileFolder_);
}

void MainWindow::folderUsed(const QString& path)
{
    lastFileFolder_ = PathFolder(toLocal(path));
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // While a command's long part runs the window takes no input, as under a message box:
    // Cancel in the progress dialog ends the work first.
    if (longWork_->busy()) {
        event->ignore();
        return;
    }
    // Nothing is asked and nothing is saved. The tool windows go with their owner.
    event->accept();
    for (int j = 0; j < toolWindows_.count; ++j)
        if (QWidget* w = toolWindows_.windows[static_cast<std::size_t>(j)])
            w->hide();
    emit closed();
}

void MainWindow::firstPaint()
{
    firstPaintPending_ = false;
    arrange(imageList_, commandWindow_);
}

void MainWindow::openImage(const std::string& path)
{
    stopPickingStar();
    workbench_->openImage(path);
    showEqualisation(); // a frame of any values opens stretched
    shownPath_ = context().imagePresent() ? path : std::string();
    setWindowTitle(fromLocal(MainWindowTitle(path)));
}

bool MainWindow::overPicture(int x, int y) const
{
    if (!context().display.isImageDisplayed())
        return false;
    const DisplayBitmap& bitmap = context().display.bitmap();
    // Column 0 and row 0 of the picture count as outside, as does everything beyond it.
    return ReadPointer(view_->view(), bitmap.width(), bitmap.height(), x, y).inside;
}

void MainWindow::pointerMoved(int x, int y)
{
    lastPointer_ = QPoint(x, y);
    pointerKnown_ = true;
    if (!context().display.isImageDisplayed())
        return;
    const DisplayBitmap& bitmap = context().display.bitmap();
    const ViewMapping& view = view_->view();
    const PointerReadout readout = ReadPointer(view, bitmap.width(), bitmap.height(), x, y);
    std::string valuePart = ZoomLabel(view.zoom);
    if (readout.inside) {
        statusParts_[0]->setText(QStringLiteral("X=") + QString::fromStdString(FormatInteger(readout.numberX)));
        statusParts_[1]->setText(QStringLiteral("Y=") + QString::fromStdString(FormatInteger(readout.numberY)));
        const ImageGrid& grid = context().imageA.grid;
        if (grid.width() == bitmap.width() && grid.height() == bitmap.height())
            valuePart = "V=" + PixelValueText(grid, readout.x, readout.y) + "  " + valuePart;
        if (const std::string sky = skyText(readout.x, readout.y); !sky.empty())
            valuePart += "  " + sky;
    } else {
        for (int part = 0; part < 3; ++part)
            statusParts_[part]->clear();
    }
    statusParts_[3]->setText(fromLocal(valuePart));
}

void MainWindow::refreshReadout()
{
    if (pointerKnown_)
        pointerMoved(lastPointer_.x(), lastPointer_.y());
}

std::string MainWindow::skyText(int x, int y)
{
    // The system is read again only when Image A's cards have changed.
    const HeaderCards& cards = context().imageA.cards;
    if (!skyKnown_ || cards.block() != skyCards_) {
        sky_ = SkyCoordinates(cards);
        skyCards_ = cards.block();
        skyKnown_ = true;
    }
    if (!sky_.available())
        return {};
    const SkyPosition position = sky_.positionAt(x, y);
    return position.status == SkyPosition::Status::Valid ? position.text : std::string();
}

void MainWindow::showEqualisation()
{
    const TransferFunction& function = context().display.transferFunction();
    action(MainIds::EqualiseLinear)->setChecked(function.kind == TransferKind::Linear);
    action(MainIds::EqualiseLogarithm)->setChecked(function.kind == TransferKind::Logarithm);
    action(MainIds::EqualiseGamma)->setChecked(function.kind == TransferKind::Gamma);
    thresholds_->showEqualisation(fromLocal(EqualisationText(function)));
}

void MainWindow::rightButtonReleased(int x, int y, const QPoint& globalPos)
{
    if (overPicture(x, y))
        popup_->popup(globalPos);
}

void MainWindow::setStatusText(int part, const std::string& text)
{
    if (part >= 0 && part < 3)
        statusParts_[part]->setText(fromLocal(text));
}

const QImage& MainWindow::picture()
{
    workbench_->finishRedraw();
    return view_->picture();
}

} // namespace skyvane
