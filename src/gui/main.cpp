#include <cstdio>
#include <cstring>
#include <string>

#include <QApplication>
#include <QIcon>
#include <QScreen>

#include "gui/MainWindow.h"
#include "Version.h"

namespace {

constexpr const char* UsageText =
    "usage: skyvane [FILE]\n"
    "       skyvane --help | --version\n"
    "Shows two-dimensional FITS images and combines them. FILE, when given, is opened as\n"
    "Image A at start; double quotes around it are removed when both are present.\n"
    "  --help      print this text and exit\n"
    "  --version   print the program's name and version and exit\n"
    "Only the first argument is looked at: any other first argument is the file to open\n"
    "(write ./--help to open a file of that name).\n"
    "Settings are kept in $XDG_CONFIG_HOME/Skyvane.ini (by default ~/.config/Skyvane.ini).\n";

// Prints text on standard output; 0 when all of it was written, 1 (with a message) when not.
int printAndExit(const char* text)
{
    std::fputs(text, stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fputs("Error: cannot write to standard output\n", stderr);
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    // Answered before the application object exists, so they need no display.
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0)
        return printAndExit("skyvane " SKYVANE_VERSION "\n");
    if (argc > 1 && std::strcmp(argv[1], "--help") == 0)
        return printAndExit(UsageText);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Skyvane"));
    QApplication::setApplicationVersion(QStringLiteral(SKYVANE_VERSION));
    // The installed menu entry and icon carry the application's id; Wayland compositors
    // match windows to the entry by it.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.skyvane.Skyvane"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("org.skyvane.Skyvane")));
    // Closing the main window ends the program, without asking and without saving. Qt's own
    // rule would first ask every window to close, and the tool windows refuse (they hide
    // instead), which would cancel the end: the loop is ended directly instead.
    QApplication::setQuitOnLastWindowClosed(false);

    skyvane::MainWindow window;
    QObject::connect(&window, &skyvane::MainWindow::closed, &app, [] { QCoreApplication::exit(0); });
    // Without a window manager "maximised" is only a wish; the screen's free area makes it so.
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        window.setGeometry(screen->availableGeometry());
    window.showMaximized();
    if (argc > 1 && argv[1][0] != '\0')
        window.openImage(skyvane::CommandLinePath(argv[1]));
    app.exec();
    return 0;
}
