#include "gui/PrivateMessages.h"

#include <QHash>
#include <QString>

namespace skyvane {

namespace {

// Qt hands out event numbers, not names; keep one number per name for the process, as a
// registration by name would.
QEvent::Type registered(const char* name)
{
    static QHash<QString, int> byName;
    auto it = byName.find(QString::fromLatin1(name));
    if (it == byName.end())
        it = byName.insert(QString::fromLatin1(name), QEvent::registerEventType());
    return static_cast<QEvent::Type>(it.value());
}

} // namespace

QEvent::Type PrivateMessages::execute()
{
    static const QEvent::Type type = registered("WM_PRIVATE_CMD_EXE");
    return type;
}

QEvent::Type PrivateMessages::reply()
{
    static const QEvent::Type type = registered("WM_PRIVATE_CMD_REPLY");
    return type;
}

QEvent::Type PrivateMessages::problem()
{
    static const QEvent::Type type = registered("WM_PRIVATE_CMD_PROBLEM");
    return type;
}

} // namespace skyvane
