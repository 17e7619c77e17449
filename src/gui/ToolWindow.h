#pragma once

#include <array>

#include <QRect>
#include <QString>
#include <QWidget>

namespace skyvane {

// The table in which the tool windows register at creation, in creation order: 0 Image
// list, 1 Thresholds, 2 Command window. Room for 21; entries are never removed.
struct ToolWindowTable {
    static constexpr int Capacity = 21;
    std::array<QWidget*, Capacity> windows{};
    int count = 0;
    void add(QWidget* window)
    {
        if (count < Capacity)
            windows[static_cast<std::size_t>(count++)] = window;
    }
};

// Fills list (room for capacity) with the table's windows that are owner or whose owner
// (parent window) is owner, in table order; then owner itself when addOwner and there is
// room. Returns how many were written.
int ToolWindowsOwnedBy(const ToolWindowTable& table, QWidget* owner, QWidget** list, int capacity, bool addOwner);

// A small captioned window that floats over its owner (the main window): no taskbar
// entry, positioned in screen coordinates, hidden instead of closed by its close box.
class ToolWindow : public QWidget {
    Q_OBJECT
public:
    // Registers itself in table; shows itself (tool windows are visible from creation).
    // The window is visible before a derived constructor runs: children created there
    // must be shown (a layout shows the widgets added to it).
    ToolWindow(ToolWindowTable& table, QWidget* owner, const QString& caption, const QRect& screenRect);

signals:
    // The close box or system menu hid the window; the main window unchecks its item.
    void hiddenByClose();

protected:
    void closeEvent(class QCloseEvent* event) override;
};

} // namespace skyvane
