#include "gui/ToolWindowFrame.h"

#include <algorithm>

#include <QAction>
#include <QMainWindow>
#include <QMenuBar>
#include <QWidget>

#include "gui/ToolWindow.h"

namespace skyvane {

namespace {

// The part of the main window that the platform would call its client area: a
// QMainWindow keeps its menu bar inside the widget, where a native window has it in the
// frame, so the area starts below a (non-native) menu bar.
QRect ClientArea(QWidget* mainWindow)
{
    QRect client = mainWindow->rect();
    if (auto* main = qobject_cast<QMainWindow*>(mainWindow)) {
        QWidget* menu = main->menuWidget();
        auto* bar = qobject_cast<QMenuBar*>(menu);
        const bool inFrame = bar && bar->isNativeMenuBar();
        if (menu && !menu->isHidden() && !inFrame)
            client.setTop(menu->geometry().bottom() + 1);
    }
    return client;
}

// Places window so that its frame covers frame: the position through move() (which
// positions the frame of a top-level window), the size through the client size less
// the frame margins the platform reports (none before the first show).
void PlaceFrame(QWidget* window, const QRect& frame)
{
    const QRect outer = window->frameGeometry();
    const QRect inner = window->geometry();
    const int extraWidth = outer.width() - inner.width();
    const int extraHeight = outer.height() - inner.height();
    window->move(frame.topLeft());
    window->resize(std::max(0, frame.width() - extraWidth), std::max(0, frame.height() - extraHeight));
    window->update();
}

} // namespace

void ArrangeToolWindows(QWidget* mainWindow, QWidget* statusBar, QWidget* upper, QWidget* lower)
{
    if (!mainWindow)
        return;
    const QRect client = ClientArea(mainWindow);
    const QPoint origin = mainWindow->mapToGlobal(client.topLeft());
    const int clientWidth = client.width();
    const int clientHeight = client.height();
    const int s = statusBar ? statusBar->frameGeometry().height() : 0;
    const int half = (clientHeight - s) / 2; // truncates toward zero
    const int x = origin.x() + clientWidth - 300;
    if (upper)
        PlaceFrame(upper, QRect(x, origin.y(), 300, half));
    if (lower)
        PlaceFrame(lower, QRect(x, origin.y() + clientHeight - half - s, 300, half));
}

void ToggleToolWindow(QWidget* window, QAction* item)
{
    if (!window)
        return;
    if (window->isVisible()) {
        if (item)
            item->setChecked(false);
        window->hide();
    } else {
        if (item)
            item->setChecked(true);
        window->show();
        window->raise();
        window->activateWindow();
    }
}

void ShowAllToolWindows(const ToolWindowTable& table)
{
    for (int j = 0; j < table.count; ++j)
        if (QWidget* w = table.windows[static_cast<std::size_t>(j)])
            w->show();
}

void HideAllToolWindows(const ToolWindowTable& table)
{
    for (int j = 0; j < table.count; ++j)
        if (QWidget* w = table.windows[static_cast<std::size_t>(j)])
            w->hide();
}

} // namespace skyvane
