#pragma once

#include <functional>
#include <ostream>

#include <QAction>
#include <QString>
#include <QWidget>

// Helpers shared by the GUI tests.

// Readable QStrings in test failures.
inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace skyvane::test {

// The first widget of type T under root (root included) whose accessible name is name;
// null when there is none.
template <typename T = QWidget>
T* FindByAccessibleName(QWidget* root, const QString& name)
{
    if (auto* self = qobject_cast<T*>(root); self && root->accessibleName() == name)
        return self;
    for (T* child : root->findChildren<T*>())
        if (child->accessibleName() == name)
            return child;
    return nullptr;
}

// The first action under root (menus and submenus included) whose text, with the "&"
// marks removed, is text; null when there is none.
QAction* FindAction(QWidget* root, const QString& text);
// The same by the action's data (the menu id).
QAction* FindActionById(QWidget* root, int id);

// Runs answer on the next modal window that opens within timeoutMs (polling every
// 10 ms), for modal paths that take no injected interface. Start it before the call
// that opens the box. Returns at once; the answer runs from the event loop.
void AnswerNextModal(std::function<void(QWidget*)> answer, int timeoutMs = 5000);

// Processes pending events (posted events included) until none are left.
void DrainEvents();

} // namespace skyvane::test
