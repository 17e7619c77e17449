// A Qt "generic" plugin that plays the user inside the real skyvane process, for what only
// the whole program shows. Loaded with QT_PLUGIN_PATH=<folder holding generic/> and
// QT_QPA_GENERIC_PLUGINS=skyvanedriver:STEP once the main window shows a file, it takes
// STEP and writes "driver: STEP" to standard error:
//   wmclose     the window manager's close request to the main window (a close event to
//               its QWindow, which is what the platform turns that request into)
//   exit-keys   Alt+F, then X, through the window system interface (File > Exit)
#include <cstdio>

#include <QApplication>
#include <QCloseEvent>
#include <QGenericPlugin>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <QWindow>

namespace {

class ProcessDriver final : public QObject {
public:
    explicit ProcessDriver(const QString& step) : step_(step)
    {
        connect(&timer_, &QTimer::timeout, this, &ProcessDriver::tick);
        timer_.start(20);
    }

private:
    void tick()
    {
        QWidget* main = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->objectName() == QLatin1String("Skyvane") && w->isVisible() && w->windowTitle().contains(QLatin1String(" - [")))
                main = w;
        if (!main || QApplication::activeModalWidget())
            return;
        if (step_ == QLatin1String("wmclose")) {
            QCloseEvent close;
            QCoreApplication::sendEvent(main->windowHandle(), &close);
        } else if (QGuiApplication::focusWindow() != main->windowHandle()) {
            main->activateWindow(); // keys go to the active window; try again at the next tick
            return;
        } else if (QWidget* menu = QApplication::activePopupWidget()) {
            QTest::keyClick(menu, Qt::Key_X);
        } else {
            QTest::keyClick(main->windowHandle(), Qt::Key_F, Qt::AltModifier);
            return; // X once the menu shows
        }
        timer_.stop();
        std::fprintf(stderr, "driver: %s\n", qPrintable(step_));
        std::fflush(stderr);
    }

    QString step_;
    QTimer timer_;
};

} // namespace

class ProcessDriverPlugin final : public QGenericPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "driver.json")
public:
    QObject* create(const QString&, const QString& parameters) override { return new ProcessDriver(parameters); }
};

#include "ProcessDriverPlugin.moc"
