#include <string>

#include <QApplication>
#include <QScreen>

#include "shell/qt/MainWindow.h"

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Skyvane"));

    skyvane::MainWindow window;
    // Without a window manager "maximised" is only a wish; the screen's free area makes it so.
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        window.setGeometry(screen->availableGeometry());
    window.showMaximized();
    if (argc > 1 && argv[1][0] != '\0')
        window.openingSequence(skyvane::CommandLinePath(argv[1]));
    app.exec();
    // Closing the main window ends the program, without asking and without saving.
    return 0;
}
