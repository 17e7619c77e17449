// A Qt "generic" plugin that acts as the user (and the window manager) inside the real
// skyvane process, for the tests that only a whole process can answer: does the program
// end when its main window is closed? The test starts build/skyvane with
//   QT_PLUGIN_PATH=<folder holding generic/>  QT_QPA_GENERIC_PLUGINS=skyvanedriver:STEPS
// where STEPS are joined by "+":
//   close-tools   the close box of every visible tool window (they hide)
//   wmclose       the window manager's close request to the main window
//   exit-keys     Alt+F, then X (File > Exit) on the keyboard
// The steps start once the main window shows a file and no modal window is open; each is
// reported on standard error as "driver: STEP". Events take the roads the platform's own
// take: a close event to the window's QWindow (what the window manager's request turns
// into) and key events through the window system interface (QTest on a QWindow).
#include <cstdio>

#include <QApplication>
#include <QCloseEvent>
#include <QGenericPlugin>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <QWindow>

namespace {

QWidget* MainWindow()
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String("Skyvane"))
            return w;
    return nullptr;
}

void Report(const QString& step)
{
    std::fprintf(stderr, "driver: %s\n", qPrintable(step));
    std::fflush(stderr);
}

void CloseLikeTheWindowManager(QWidget* window)
{
    QCloseEvent close;
    QCoreApplication::sendEvent(window->windowHandle(), &close);
}

class ProcessDriver final : public QObject {
public:
    explicit ProcessDriver(const QString& steps) : steps_(steps.split(QLatin1Char('+'), Qt::SkipEmptyParts))
    {
        timer_.setInterval(20);
        connect(&timer_, &QTimer::timeout, this, &ProcessDriver::tick);
        QTimer::singleShot(0, this, [this] { timer_.start(); });
    }

private:
    void tick()
    {
        QWidget* main = MainWindow();
        if (!main || !main->isVisible() || !main->windowTitle().contains(QLatin1String(" - [")) || QApplication::activeModalWidget())
            return;
        if (steps_.isEmpty()) {
            timer_.stop();
            return;
        }
        const QString step = steps_.front();
        if (step == QLatin1String("close-tools")) {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (w != main && w->isVisible() && w->windowType() == Qt::Tool)
                    CloseLikeTheWindowManager(w);
        } else if (step == QLatin1String("wmclose")) {
            CloseLikeTheWindowManager(main);
        } else if (step == QLatin1String("exit-keys")) {
            if (QGuiApplication::focusWindow() != main->windowHandle()) {
                main->activateWindow();
                return; // again at the next tick, once the main window is active
            }
            if (!menuOpened_) {
                QTest::keyClick(main->windowHandle(), Qt::Key_F, Qt::AltModifier);
                menuOpened_ = true;
                return; // X goes to the menu once it shows
            } else if (QWidget* menu = QApplication::activePopupWidget()) {
                QTest::keyClick(menu, Qt::Key_X);
            } else {
                return;
            }
        } else {
            Report(QStringLiteral("unknown step ") + step);
        }
        Report(step);
        steps_.removeFirst();
    }

    QStringList steps_;
    QTimer timer_;
    bool menuOpened_ = false;
};

} // namespace

class ProcessDriverPlugin final : public QGenericPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "driver.json")
public:
    QObject* create(const QString& key, const QString& specification) override
    {
        if (key.compare(QLatin1String("skyvanedriver"), Qt::CaseInsensitive) != 0)
            return nullptr;
        return new ProcessDriver(specification);
    }
};

#include "ProcessDriverPlugin.moc"
