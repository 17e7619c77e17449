#pragma once

#include <memory>
#include <string>
#include <vector>

#include <QImage>
#include <QMainWindow>

#include "base/Feedback.h"
#include "context/AppContext.h"
#include "context/StatusSink.h"
#include "display/SkyPosition.h"
#include "gui/ToolWindow.h"
#include "workbench/Workbench.h"

class QLabel;
class QMenu;
class QAction;

namespace skyvane {

class CommandWindow;
class DialogProvider;
class ImageListWindow;
class LongWorkDialog;
class PictureView;
class ThresholdsWindow;

// Menu, popup and window command ids of the main window.
namespace MainIds {
inline constexpr int OpenFits = 40001, SaveFits = 40002, ExportBmp = 40404, WorkingDirectory = 40405,
                     Preferences = 40429, Exit = 40003;
inline constexpr int MoveToLeft = 40420, MoveToLeft2 = 40421, ImageListWindow = 40103, ThresholdsWindow = 40104,
                     CommandWindow = 40105, ShowAll = 40101, HideAll = 40102;
inline constexpr int AddConstant = 40406, SubtractConstant = 40437, MultiplyConstant = 40410, DivideConstant = 40413,
                     AddImage = 40407, SubtractImage = 40438, MultiplyImage = 40411, DivideImage = 40414;
inline constexpr int ListAddConstant = 40417, ListSubtractConstant = 40440, ListMultiplyConstant = 40418,
                     ListDivideConstant = 40419, ListAddImage = 40412, ListSubtractImage = 40441, ListMultiplyImage = 40415,
                     ListDivideImage = 40416;
inline constexpr int ComposeColour = 40450, RedPlane = 40451, GreenPlane = 40452, BluePlane = 40453, Luminance = 40454;
inline constexpr int ListCalibrate = 40460, ListDebayer = 40461, Debayer = 40462;
inline constexpr int EqualiseLogarithm = 40433, EqualiseGamma = 40434, EqualiseLinear = 40439;
inline constexpr int CombineMedian = 40430, CombineMean = 40408, CombineMinMaxRejection = 40431, CombineSigmaClipping = 40432;
inline constexpr int RegisterOneStar = 40435, RegisterCorrelation = 40436, RegisterPattern = 40442;
inline constexpr int ListMeasure = 40470, ListKeepBest = 40471, CombineWinsorisedClipping = 40472, CoaddNormalisation = 40473,
                     CoaddWeights = 40474;
inline constexpr int About = 40301;
inline constexpr int PopupStat = 41001, PopupSize = 41002, PopupHeaders = 41003, PopupClearDisplay = 41004;
inline constexpr int Redraw = 42005, Auto = 42006, Invert = 42007;
} // namespace MainIds

// Shows every message of the core as a modal box owned by the main window: title
// "Error", warning icon, OK button.
class MessageBoxFeedback final : public Feedback {
public:
    explicit MessageBoxFeedback(QWidget* owner) : owner_(owner) {}
    void showError(const std::string& text) override;
    // The same box with the file's path as its informative text, under the message.
    void showFileError(const std::string& text, const std::string& path) override;
    // A box titled "Skyvane" with the information icon and an OK button.
    void showNotice(const std::string& text) override;

private:
    QWidget* owner_;
};

// The path named on the command line: double quotes around it are removed only when both
// are present.
std::string CommandLinePath(const std::string& argument);

struct MainWindowOptions {
    std::string settingsPath;            // the settings file; DefaultSettingsPath() when empty
    DialogProvider* dialogs = nullptr;   // the user's answers; the real dialogs when null
    Feedback* messages = nullptr;        // message boxes; MessageBoxFeedback when null
};

// The frame of the program: owns the run's workbench, the picture view (its client area),
// the menus and the popup menu (built from one list of actions), the status bar and the
// three tool windows, and runs every command through the command protocol.
class MainWindow final : public QMainWindow, private StatusSink {
    Q_OBJECT
public:
    explicit MainWindow(const MainWindowOptions& options = {});
    ~MainWindow() override;

    Workbench& workbench() { return *workbench_; }
    AppContext& context() { return workbench_->context(); }
    const AppContext& context() const { return workbench_->context(); }
    ImageListWindow* imageListWindow() const { return imageList_; }
    ThresholdsWindow* thresholdsWindow() const { return thresholds_; }
    CommandWindow* commandWindow() const { return commandWindow_; }
    QWidget* displayView() const;
    PictureView* pictureView() const { return view_; }
    // Parts 0 to 2: "X=", "Y=" and the third, empty part; part 3: the pixel's value, the
    // zoom and, when Image A's header has a celestial system, the sky position.
    QLabel* statusPart(int part) const { return statusParts_[part]; }
    QMenu* popupMenu() const { return popup_; }
    // The menu bar item or popup item with this id.
    QAction* action(int id) const;

    // Runs a menu or window command by id, as WM_COMMAND does.
    void runCommand(int id);
    // "Open FITS", "Display" and the file named at start: the workbench's openImage (what
    // is displayed goes, the opening sequence runs), then the caption names the path.
    void openImage(const std::string& path);
    // CommandSlot := text, echo in the Command window, execute (synchronously).
    void SubmitCommand(const std::string& text);

    // The picture drawn in the client area (top-down RGB32), null when nothing is displayed
    // (and when its memory could not be had: each paint then converts only what it shows).
    const QImage& picture();

signals:
    // The main window was closed (File > Exit, its close box, the window manager): the
    // program ends now, with exit code 0.
    void closed();

protected:
    bool event(QEvent* event) override;
    // One local file dropped onto the window opens as "Open FITS" opens it.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    // Accepts at once and hides the tool windows, then emits closed(); refused while a
    // command's long part runs.
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // Where Open FITS, Save FITS and Export to BMP start: the working directory until one
    // of them has been used with a file in another folder during this run.
    QString fileDialogFolder() const;
    void folderUsed(const QString& path);

    void createMenus();
    void createStatusBar();
    void toggleToolWindow(int position, int id);
    void showAllToolWindows(bool show);
    void arrange(QWidget* upper, QWidget* lower);
    void openFits(const QString& path);
    // A menu item that composes a command from the user's answers (see the action list).
    void composeAndSubmit(int id);
    // Sigma clipping and winsorised sigma clipping: a list, the clipping range and the
    // number of iterations, then "COMMAND [LIST] RANGE ITERATIONS".
    void sigmaClipping(const QString& prompt, const std::string& command);
    // "Normalisation..." and "Weights...": the choice of words, the current one offered
    // first, then "normalise WORD" or "weight WORD".
    void chooseStacking(const QString& prompt, const QStringList& words, const QString& current, const std::string& command);
    // "One star": the list asked for, its first selected frame displayed (said so when
    // Image A was another image), then the star is clicked on it (leftButtonReleased),
    // which submits "starreg [LIST] X Y" with the pointer readout's X and Y there. Escape,
    // another image or any other menu action ends the wait.
    void oneStar();
    void stopPickingStar();
    void leftButtonReleased(int x, int y);
    void firstPaint();
    void pointerMoved(int x, int y);
    // The readout for the pointer's last position, after the view or the picture changed.
    void refreshReadout();
    // The sky position text of image pixel (x, y), empty without a celestial system.
    std::string skyText(int x, int y);
    // The Equalisation menu's check mark and the Thresholds window name the equalisation.
    void showEqualisation();
    void rightButtonReleased(int x, int y, const QPoint& globalPos);
    bool overPicture(int x, int y) const;

    // StatusSink
    void setStatusText(int part, const std::string& text) override;

    std::unique_ptr<DialogProvider> ownDialogs_;
    DialogProvider* dialogs_ = nullptr;
    std::unique_ptr<Feedback> ownMessages_;
    PictureView* view_ = nullptr;
    std::unique_ptr<Workbench> workbench_;
    ToolWindowTable toolWindows_;
    ImageListWindow* imageList_ = nullptr;
    ThresholdsWindow* thresholds_ = nullptr;
    CommandWindow* commandWindow_ = nullptr;
    QLabel* statusParts_[4] = {nullptr, nullptr, nullptr, nullptr};
    QPoint lastPointer_;
    bool pointerKnown_ = false;
    SkyCoordinates sky_;
    std::vector<char> skyCards_; // the header cards sky_ was made from
    bool skyKnown_ = false;
    QMenu* popup_ = nullptr;
    LongWorkDialog* longWork_ = nullptr;
    std::vector<int> waitingCodes_; // execute messages that came while a long part ran
    std::string lastFileFolder_; // folder of the last file opened, saved or exported
    bool firstPaintPending_ = true;
    std::string shownPath_;       // the file Image A was loaded from, until a command runs
    std::string pickingStarList_; // "One star" waits for a click on this list's reference
};

} // namespace skyvane
