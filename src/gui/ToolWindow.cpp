#include "gui/ToolWindow.h"

#include <QCloseEvent>

namespace skyvane {

int ToolWindowsOwnedBy(const ToolWindowTable& table, QWidget* owner, QWidget** list, int capacity, bool addOwner)
{
    int n = 0;
    for (int j = 0; j < table.count && j < capacity; ++j) {
        QWidget* entry = table.windows[static_cast<std::size_t>(j)];
        if (entry == owner || (entry && entry->parentWidget() == owner))
            list[n++] = entry;
    }
    if (addOwner && n < capacity)
        list[n++] = owner;
    return n;
}

ToolWindow::ToolWindow(ToolWindowTable& table, QWidget* owner, const QString& caption, const QRect& screenRect)
    : QWidget(owner, Qt::Tool)
{
    table.add(this);
    setWindowTitle(caption);
    setAccessibleName(caption);
    // The rectangle is the window's on the screen: move() places the frame, the size goes
    // to the client area (the frame is not known before the window is first shown).
    move(screenRect.topLeft());
    resize(screenRect.size());
    show();
}

void ToolWindow::closeEvent(QCloseEvent* event)
{
    event->ignore();
    hide();
    emit hiddenByClose();
}

} // namespace skyvane
