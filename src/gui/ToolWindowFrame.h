#pragma once

class QAction;
class QWidget;

namespace skyvane {

struct ToolWindowTable;

// What the tool windows share beyond their base class (ToolWindow.h).
//
// Enabling together: a tool window is a child window of the main window, so disabling the
// main window disables every tool window with it, and an application-modal dialog or
// message box (QDialog::exec, the static QMessageBox and QFileDialog functions) blocks
// input to every other window of the program. Nothing is added for that; dialogs must be
// application modal (not opened with QDialog::open, which is window modal).
//
// Activating together: whether a caption is drawn active is the window manager's
// business under Qt; the tool windows are made transient for the main window (their
// parent), which is what lets window managers treat the group as one.

// The stacking layout of "Move to Left": C = the main window's client area (below its menu
// bar), O = the top left of C on the screen, s = the status bar's height, half = (C.height
// - s) / 2 truncated, x = O.x + C.width - 300. upper goes to (x, O.y) with width 300 and
// height half, lower to (x, O.y + C.height - half - s), the same size. Positions and sizes
// are of the windows' frames as far as the platform reports them (a window that was never
// shown has no known frame: its client area takes the whole rectangle). Hidden windows
// are moved and stay hidden. A null upper or lower is skipped.
void ArrangeToolWindows(QWidget* mainWindow, QWidget* statusBar, QWidget* upper, QWidget* lower);

// Toolbars item of one tool window: a visible window is hidden and its item unchecked;
// a hidden one is shown, activated and its item checked. item may be null.
void ToggleToolWindow(QWidget* window, QAction* item);

// "Show all" / "Hide all": every window of the table in table order.
void ShowAllToolWindows(const ToolWindowTable& table);
void HideAllToolWindows(const ToolWindowTable& table);

} // namespace skyvane
