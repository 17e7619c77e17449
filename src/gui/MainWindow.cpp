#include "gui/MainWindow.h"

#include <cmath>
#include <limits>
#include <system_error>
#include <thread>

#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>

#include "base/Numbers.h"
#include "base/Paths.h"
#include "command/CommandProtocol.h"
#include "command/Messages.h"
#include "gui/CommandWindow.h"
#include "gui/DialogProvider.h"
#include "gui/ImageListWindow.h"
#include "gui/PrivateMessages.h"
#include "gui/ThresholdsWindow.h"
#include "gui/ToolWindowFrame.h"
#include "gui/WorkingDirectory.h"

namespace skyvane {

namespace {

const QColor BackgroundColour(90, 90, 170);

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

void MessageBoxFeedback::showFileError(const std::string& text, const std::string& path)
{
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Error"), fromLocal(text), QMessageBox::Ok, owner_);
    box.setAccessibleName(QStringLiteral("Error"));
    // The exact message stays the box's text; the file it is about goes under it.
    if (!path.empty())
        box.setInformativeText(fromLocal(path));
    box.exec();
}

// The client area: the picture at (0, 0), unscaled, cut at the edges; the background
// colour elsewhere. Paint only copies the prepared picture, it never renders pixels.
class DisplayView final : public QWidget {
public:
    explicit DisplayView(MainWindow* window) : QWidget(window), window_(window)
    {
        setMouseTracking(true);
        setAttribute(Qt::WA_OpaquePaintEvent);
        setAccessibleName(QStringLiteral("Image"));
    }

protected:
    void paintEvent(QPaintEvent* event) override
    {
        if (window_->firstPaintPending_)
            window_->firstPaint();
        window_->flushRedraw();
        QPainter painter(this);
        window_->drawPicture(painter, event->rect());
    }
    void mouseMoveEvent(QMouseEvent* event) override
    {
        const QPoint p = event->position().toPoint();
        window_->pointerMoved(p.x(), p.y());
    }
    void mouseReleaseEvent(QMouseEvent* event) override
    {
        if (event->button() == Qt::RightButton) {
            const QPoint p = event->position().toPoint();
            window_->rightButtonReleased(p.x(), p.y(), event->globalPosition().toPoint());
        }
    }

private:
    MainWindow* window_;
};

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
    context_ = std::make_unique<AppContext>(*messages, forwardThresholds_, static_cast<DisplaySink&>(*this),
                                            static_cast<StatusSink&>(*this));

    view_ = new DisplayView(this);
    setCentralWidget(view_);

    // Settings first: the Image list window builds its start-up list from the working directory.
    context_->settingsPath = options.settingsPath.empty() ? DefaultSettingsPath() : options.settingsPath;
    context_->settings = LoadSettings(context_->settingsPath);

    imageList_ = new ImageListWindow(toolWindows_, *context_, *dialogs_, this, QRect(900, 100, 300, 500));
    thresholds_ = new ThresholdsWindow(toolWindows_, *context_, this, QRect(100, 600, 438, 135));
    forwardThresholds_.target = thresholds_;
    commandWindow_ = new CommandWindow(toolWindows_, *context_, this, QRect(850, 400, 300, 500));
    commandWindow_->setExecuteTarget(this);

    createMenus();
    createStatusBar();

    connect(thresholds_, &ThresholdsWindow::redrawRequested, this, &MainWindow::redrawCommand, Qt::DirectConnection);
    connect(imageList_, &ToolWindow::hiddenByClose, this, [this] { action(MainIds::ImageListWindow)->setChecked(false); });
    connect(thresholds_, &ToolWindow::hiddenByClose, this, [this] { action(MainIds::ThresholdsWindow)->setChecked(false); });
    connect(commandWindow_, &ToolWindow::hiddenByClose, this, [this] { action(MainIds::CommandWindow)->setChecked(false); });
    connect(imageList_, &ImageListWindow::displayRequested, this,
            [this](const QString& path) { displayFile(toLocal(path)); });
}

MainWindow::~MainWindow()
{
    // The tool windows and the view use the context while they go; they must go first.
    forwardThresholds_.target = nullptr;
    delete imageList_;
    delete thresholds_;
    delete commandWindow_;
    delete view_;
}

QWidget* MainWindow::displayView() const
{
    return view_;
}

void MainWindow::createMenus()
{
    auto add = [this](QMenu* menu, const char* text, int id) {
        QAction* a = menu->addAction(QString::fromUtf8(text));
        a->setData(id);
        connect(a, &QAction::triggered, this, [this, id] { runCommand(id); });
        return a;
    };

    // The platform's standard keys open, save, quit and show About (Ctrl+O, Ctrl+S,
    // Ctrl+Q and F1 on Linux); they work while the main window is the active window.
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    add(file, "Open FITS", MainIds::OpenFits)->setShortcut(QKeySequence::Open);
    add(file, "Save FITS", MainIds::SaveFits)->setShortcut(QKeySequence::Save);
    add(file, "Export to BMP", MainIds::ExportBmp);
    file->addSeparator();
    add(file, "Working directory", MainIds::WorkingDirectory);
    add(file, "Preferences", MainIds::Preferences);
    file->addSeparator();
    add(file, "E&xit", MainIds::Exit)->setShortcut(QKeySequence::Quit);

    toolbarsMenu_ = menuBar()->addMenu(QStringLiteral("Toolbars"));
    add(toolbarsMenu_, "Move to Left", MainIds::MoveToLeft);
    add(toolbarsMenu_, "Move to Left (2)", MainIds::MoveToLeft2);
    toolbarsMenu_->addSeparator();
    for (QAction* a : {add(toolbarsMenu_, "Image List", MainIds::ImageListWindow),
                       add(toolbarsMenu_, "Thresholds", MainIds::ThresholdsWindow),
                       add(toolbarsMenu_, "Command window", MainIds::CommandWindow)}) {
        a->setCheckable(true);
        a->setChecked(true);
        // The check mark mirrors visibility; the item toggles it itself (runCommand).
        disconnect(a, &QAction::triggered, nullptr, nullptr);
        const int id = a->data().toInt();
        connect(a, &QAction::triggered, this, [this, id] { runCommand(id); });
    }
    toolbarsMenu_->addSeparator();
    add(toolbarsMenu_, "&Show all", MainIds::ShowAll);
    add(toolbarsMenu_, "&Hide all", MainIds::HideAll);

    QMenu* image = menuBar()->addMenu(QStringLiteral("Image"));
    add(image, "Add constant", MainIds::AddConstant);
    add(image, "Subtract constant", MainIds::SubtractConstant);
    add(image, "Multiply by constant", MainIds::MultiplyConstant);
    add(image, "Division by constant", MainIds::DivideConstant);
    image->addSeparator();
    add(image, "Add image", MainIds::AddImage);
    add(image, "Subtract image", MainIds::SubtractImage);
    add(image, "Multiply by image", MainIds::MultiplyImage);
    add(image, "Divide by image", MainIds::DivideImage);

    // List arithmetic, co-registration and equalisation have no behaviour yet.
    QMenu* list = menuBar()->addMenu(QStringLiteral("Image list"));
    add(list, "Add constant", 40417);
    add(list, "Multiply by constant", 40418);
    add(list, "Division by constant", 40419);
    list->addSeparator();
    add(list, "Add image", 40412);
    add(list, "Multiply by image", 40415);
    add(list, "Divide by image", 40416);

    QMenu* registration = menuBar()->addMenu(QStringLiteral("Co-registration"));
    add(registration, "One star", 40435);
    add(registration, "Auto-correlation", 40436);

    QMenu* coaddition = menuBar()->addMenu(QStringLiteral("Co-addition"));
    add(coaddition, "Median image", MainIds::MedianImage);
    add(coaddition, "Arithmetic sum", MainIds::ArithmeticSum);
    add(coaddition, "Min-max rejection", MainIds::MinMaxRejection);
    add(coaddition, "Sigma clipping", MainIds::SigmaClipping);

    QMenu* equalisation = menuBar()->addMenu(QStringLiteral("Equalisation"));
    add(equalisation, "Logarithm", 40433);
    add(equalisation, "Gamma adjustment", 40434);

    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    add(help, "&About", MainIds::About)->setShortcut(QKeySequence::HelpContents);

    popup_ = new QMenu(QStringLiteral("MyPopupMenu"), this);
    add(popup_, "Stat", MainIds::PopupStat);
    add(popup_, "Size", MainIds::PopupSize);
    add(popup_, "Headers", MainIds::PopupHeaders);
    add(popup_, "Clear display", MainIds::PopupClearDisplay);

    for (QAction* a : menuBar()->actions())
        a->menu()->setAccessibleName(a->text().remove(QLatin1Char('&')));
    popup_->setAccessibleName(QStringLiteral("MyPopupMenu"));
}

void MainWindow::createStatusBar()
{
    QStatusBar* bar = statusBar();
    bar->setSizeGripEnabled(true);
    bar->setAccessibleName(QStringLiteral("Status bar"));
    // Right edges at 50, 100 and 174 pixels. A label without an accessible name of its own
    // is read out by its text ("X=10"); the description says which part it is.
    const int widths[3] = {50, 50, 74};
    for (int i = 0; i < 3; ++i) {
        auto* label = new QLabel(bar);
        label->setFixedWidth(widths[i]);
        label->setAccessibleDescription(QStringLiteral("Status part %1").arg(i + 1));
        bar->addWidget(label);
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
        // Only code 101 executes; anything else is ignored.
        HandleExecuteMessage(*context_, static_cast<CodeEvent*>(event)->lowCode(), *commandWindow_);
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
    context_->CommandSlot = text;
    commandWindow_->sendReply(CodeEcho);
    SendCode(this, PrivateMessages::execute(), CodeExecute);
}

void MainWindow::runCommand(int id)
{
    switch (id) {
    case MainIds::OpenFits:
        openFits(dialogs_->openFitsFile(this, fileDialogFolder()));
        break;
    case MainIds::SaveFits: {
        if (!context_->display.isImageDisplayed())
            break;
        const QString path = dialogs_->saveFitsFile(this, fileDialogFolder());
        if (path.isEmpty())
            break;
        folderUsed(path);
        const std::string local = toLocal(path);
        // The caption names the file only when it was written; a failure has been
        // reported by the save itself and leaves the caption as it was.
        if (saveFitsReporting(context_->imageA, local, context_->messages))
            setWindowTitle(fromLocal(MainWindowTitle(local)));
        break;
    }
    case MainIds::ExportBmp: {
        if (!context_->display.isImageDisplayed())
            break;
        const QString path = dialogs_->saveBitmapFile(this, fileDialogFolder());
        flushRedraw();
        if (path.isEmpty())
            break;
        folderUsed(path);
        (void)exportBitmapReporting(context_->display.bitmap(), toLocal(path), context_->messages); // reports its failures
        break;
    }
    case MainIds::WorkingDirectory:
        ChooseWorkingDirectory(this, *context_, *dialogs_, QStringLiteral("\nPlease select a folder"));
        break;
    case MainIds::Preferences:
        dialogs_->showPreferences(this, *context_);
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
    case MainIds::AddConstant:
        askConstantAndSubmit("Enter constant for addition", 0.0, "add ");
        break;
    case MainIds::SubtractConstant:
        askConstantAndSubmit("Enter constant for substraction", 0.0, "sub ");
        break;
    case MainIds::MultiplyConstant:
        askConstantAndSubmit("Enter constant for multiplication", 1.0, "mult ");
        break;
    case MainIds::DivideConstant:
        askConstantAndSubmit("Enter constant for division", 1.0, "div ");
        break;
    case MainIds::AddImage:
        askImageAndSubmit("add (");
        break;
    case MainIds::SubtractImage:
        askImageAndSubmit("sub (");
        break;
    case MainIds::MultiplyImage:
        askImageAndSubmit("mult (");
        break;
    case MainIds::DivideImage:
        askImageAndSubmit("div (");
        break;
    case MainIds::MedianImage:
        askListAndSubmit("Select image list for median co-addition", "median ");
        break;
    case MainIds::ArithmeticSum:
        askListAndSubmit("Select image list for standard co-addition", "mean ");
        break;
    case MainIds::MinMaxRejection:
        askListAndSubmit("Select image list for min-max rejection", "minmaxrej ");
        break;
    case MainIds::SigmaClipping:
        sigmaClipping();
        break;
    case MainIds::PopupStat:
        SubmitCommand("stat");
        break;
    case MainIds::PopupSize:
        SubmitCommand("size");
        break;
    case MainIds::PopupHeaders:
        SubmitCommand("headers");
        break;
    case MainIds::PopupClearDisplay:
        SubmitCommand("clear");
        setWindowTitle(fromLocal(MainWindowTitle("")));
        break;
    case MainIds::Redraw:
        redrawCommand();
        break;
    case MainIds::Auto:
        thresholds_->autoThresholds();
        break;
    case MainIds::Invert:
        thresholds_->invert();
        break;
    default:
        // The list arithmetic, co-registration and equalisation items do nothing yet.
        break;
    }
}

void MainWindow::openFits(const QString& path)
{
    if (path.isEmpty())
        return;
    folderUsed(path);
    displayFile(toLocal(path));
}

void MainWindow::askConstantAndSubmit(const char* prompt, double initial, const char* command)
{
    const std::optional<double> value = dialogs_->askConstant(this, QString::fromUtf8(prompt), initial);
    if (value)
        SubmitCommand(std::string(command) + FormatReal(*value, 30));
}

void MainWindow::askImageAndSubmit(const char* command)
{
    const QString path = dialogs_->askImageFile(this, fromLocal(context_->settings.WorkingDirectory));
    if (!path.isEmpty())
        SubmitCommand(std::string(command) + toLocal(path) + ")");
}

namespace {

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

void MainWindow::askListAndSubmit(const char* prompt, const char* command)
{
    const QString tag = dialogs_->askImageList(this, QString::fromUtf8(prompt), listTags(context_->lists));
    if (!tag.isEmpty())
        SubmitCommand(std::string(command) + toLocal(tag));
}

void MainWindow::sigmaClipping()
{
    const QString tag =
        dialogs_->askImageList(this, QStringLiteral("Select image list for sigma clipping"), listTags(context_->lists));
    if (tag.isEmpty())
        return;
    const std::optional<double> range = dialogs_->askConstant(this, QStringLiteral("Enter clipping range (sigma units)"), 3.0);
    if (!range)
        return;
    const std::optional<double> iterations = dialogs_->askConstant(this, QStringLiteral("Enter number of iterations"), 2.0);
    if (!iterations)
        return;
    SubmitCommand("sigmaclip " + toLocal(tag) + " " + FormatReal(*range, 15) + " " +
                  FormatInteger(truncatedIterations(*iterations)));
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
    return fromLocal(lastFileFolder_.empty() ? context_->settings.WorkingDirectory : lastFileFolder_);
}

void MainWindow::folderUsed(const QString& path)
{
    lastFileFolder_ = PathFolder(toLocal(path));
}

void MainWindow::closeEvent(QCloseEvent* event)
{
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

void MainWindow::openingSequence(const std::string& path)
{
    // The loader reports its own failures. A file that cannot be read whole (a truncated
    // one leaves zeros where its data ends) is no image: Image A is left empty, as after a
    // file that cannot be opened at all, rather than showing a half-read frame.
    if (!loadFitsReporting(context_->imageA, path, context_->messages))
        context_->imageA.clear();
    if (context_->display.buildDisplay(context_->imageA.grid)) {
        context_->display.paintDisplay();
    } else {
        // The image was read but its picture does not fit in memory: it is not shown, and
        // let go so as not to hold memory for an image nobody can see or use.
        const ImageGrid& grid = context_->imageA.grid;
        context_->messages.showFileError(NotEnoughMemoryText(grid.width(), grid.height()), path);
        context_->imageA.clear();
    }
    thresholds_->autoThresholds();
    setWindowTitle(fromLocal(MainWindowTitle(path)));
}

void MainWindow::displayFile(const std::string& path)
{
    if (context_->display.isImageDisplayed()) {
        context_->display.clearDisplay();
        context_->imageA.clear();
    }
    openingSequence(path);
}

void MainWindow::redrawCommand()
{
    // The Thresholds window asks for a redraw after every change of an edit, so one step
    // of a trackbar asks twice. The picture is recomputed once, when it is next needed
    // (painting, export, a look at the picture), through the thresholds of that moment.
    if (!context_->display.isImageDisplayed())
        return;
    redrawPending_ = true;
    view_->update();
}

void MainWindow::flushRedraw()
{
    if (!redrawPending_)
        return;
    redrawPending_ = false;
    if (!context_->display.isImageDisplayed())
        return;
    // Same size as the picture: recomputed in place, which needs no memory.
    (void)context_->display.refreshDisplay(context_->imageA.grid);
    context_->display.repaintDisplay();
}

bool MainWindow::overPicture(int x, int y) const
{
    if (!context_->display.isImageDisplayed())
        return false;
    const int w = context_->display.bitmap().width();
    const int h = context_->display.bitmap().height();
    // Column 0 and row 0 count as outside, as does everything beyond the picture.
    return x > 0 && x < w && y > 0 && y < h;
}

void MainWindow::pointerMoved(int x, int y)
{
    if (!context_->display.isImageDisplayed())
        return;
    if (overPicture(x, y)) {
        statusParts_[0]->setText(QStringLiteral("X=") + QString::fromStdString(FormatInteger(x + 1)));
        statusParts_[1]->setText(QStringLiteral("Y=") + QString::fromStdString(FormatInteger(y + 1)));
    } else {
        for (QLabel* part : statusParts_)
            part->clear();
    }
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

void MainWindow::preparePicture(const DisplayBitmap& bitmap)
{
    // The platform bitmap: a top-down RGB32 picture of the bottom-up grey rows. It is
    // filled lazily, only where a paint needs it, so a threshold change costs the
    // rendering plus the conversion of the visible part, not of the whole image.
    const int w = bitmap.width();
    const int h = bitmap.height();
    converted_ = QRegion();
    if (w <= 0 || h <= 0 || bitmap.rows.size() < static_cast<std::size_t>(bitmap.stride()) * static_cast<std::size_t>(h)) {
        picture_ = QImage();
        source_ = nullptr;
        return;
    }
    source_ = &bitmap;
    if (picture_.width() != w || picture_.height() != h || picture_.format() != QImage::Format_RGB32) {
        picture_ = QImage(); // the old picture goes first, making room for the new one
        // Null when its memory cannot be had; paints then convert what they show.
        picture_ = QImage(w, h, QImage::Format_RGB32);
    }
}

namespace {

// Converts the part area (top-down picture coordinates) of the bottom-up grey rows into
// image, whose pixel (0, 0) stands for the picture's pixel origin. Large areas are done by
// two threads (one when no second thread can be had), each writing its own lines.
void ConvertArea(const DisplayBitmap& bitmap, const QRect& area, QImage& image, const QPoint& origin)
{
    const int h = bitmap.height();
    const int stride = bitmap.stride();
    const std::uint8_t* rows = bitmap.rows.data();
    uchar* const pixels = image.bits();
    const qsizetype bytesPerLine = image.bytesPerLine();
    auto convertRows = [&](int from, int to) {
        for (int y = from; y < to; ++y) {
            const std::uint8_t* src = rows + static_cast<std::size_t>(h - 1 - y) * static_cast<std::size_t>(stride);
            auto* dst = reinterpret_cast<QRgb*>(pixels + (y - origin.y()) * bytesPerLine) - origin.x();
            for (int x = area.left(); x <= area.right(); ++x) {
                const std::uint32_t g = src[3 * x];
                dst[x] = 0xFF000000u | (g << 16) | (g << 8) | g;
            }
        }
    };
    const int top = area.top();
    const int bottom = area.bottom() + 1;
    if (static_cast<std::int64_t>(area.width()) * area.height() < 1 << 20) {
        convertRows(top, bottom);
        return;
    }
    const int middle = top + (bottom - top) / 2;
    std::thread helper;
    try {
        helper = std::thread(convertRows, top, middle);
    } catch (const std::system_error&) {
        convertRows(top, middle);
    }
    convertRows(middle, bottom);
    if (helper.joinable())
        helper.join();
}

} // namespace

void MainWindow::ensureConverted(const QRect& area)
{
    if (!source_ || picture_.isNull())
        return;
    const QRegion needed = QRegion(area.intersected(picture_.rect())).subtracted(converted_);
    if (needed.isEmpty())
        return;
    // bits() detaches once here, so the converting threads only write into their own lines.
    (void)picture_.bits();
    for (const QRect& r : needed)
        ConvertArea(*source_, r, picture_, QPoint(0, 0));
    converted_ += needed;
}

void MainWindow::drawPicture(QPainter& painter, const QRect& dirty)
{
    const bool shown = source_ != nullptr && context_->display.isImageDisplayed();
    if (!shown) {
        painter.fillRect(dirty, BackgroundColour);
        return;
    }
    const QRect whole(0, 0, source_->width(), source_->height());
    const QRect pictureRect = dirty.intersected(whole);
    if (!pictureRect.isEmpty()) {
        if (!picture_.isNull()) {
            ensureConverted(pictureRect);
            painter.drawImage(pictureRect.topLeft(), picture_, pictureRect);
        } else {
            // The whole picture did not fit in memory: the part being painted, at most the
            // size of the window, is converted for this paint alone.
            QImage part(pictureRect.size(), QImage::Format_RGB32);
            if (part.isNull())
                painter.fillRect(pictureRect, BackgroundColour);
            else {
                ConvertArea(*source_, pictureRect, part, pictureRect.topLeft());
                painter.drawImage(pictureRect.topLeft(), part);
            }
        }
    }
    const QRegion rest = QRegion(dirty).subtracted(QRegion(whole));
    for (const QRect& r : rest)
        painter.fillRect(r, BackgroundColour);
}

const QImage& MainWindow::picture()
{
    flushRedraw();
    ensureConverted(picture_.rect());
    return picture_;
}

void MainWindow::bitmapCreated(const DisplayBitmap& bitmap)
{
    preparePicture(bitmap);
    view_->update();
}

void MainWindow::bitmapChanged(const DisplayBitmap& bitmap)
{
    preparePicture(bitmap);
    view_->update();
}

void MainWindow::bitmapCleared()
{
    picture_ = QImage();
    source_ = nullptr;
    converted_ = QRegion();
    view_->update();
}

} // namespace skyvane
