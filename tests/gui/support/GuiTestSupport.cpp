#include "support/GuiTestSupport.h"

#include <memory>

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMenu>
#include <QTimer>

namespace skyvane::test {

namespace {

QList<QAction*> AllActions(QWidget* root)
{
    QList<QAction*> actions = root->actions();
    for (QWidget* child : root->findChildren<QWidget*>())
        actions += child->actions();
    return actions;
}

} // namespace

QAction* FindAction(QWidget* root, const QString& text)
{
    for (QAction* action : AllActions(root)) {
        QString plain = action->text();
        plain.remove(QLatin1Char('&'));
        if (plain == text || action->text() == text)
            return action;
    }
    return nullptr;
}

QAction* FindActionById(QWidget* root, int id)
{
    for (QAction* action : AllActions(root))
        if (action->data().isValid() && action->data().toInt() == id && !action->menu())
            return action;
    return nullptr;
}

void AnswerNextModal(std::function<void(QWidget*)> answer, int timeoutMs)
{
    auto* timer = new QTimer(qApp);
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, clock, answer = std::move(answer), timeoutMs] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            answer(modal);
        } else if (clock->elapsed() > timeoutMs) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start();
}

void DrainEvents()
{
    for (int i = 0; i < 10; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

} // namespace skyvane::test
