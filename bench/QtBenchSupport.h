#pragma once

// What the desktop program's benchmarks put in place of the user (dialogs that are never
// answered, messages that are only counted) and the program they run.

#include <filesystem>
#include <functional>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include <QApplication>
#include <QByteArray>
#include <QWidget>

#include <QString>
#include <QStringList>

#include <benchmark/benchmark.h>

#include "gui/DialogProvider.h"
#include "gui/MainWindow.h"
#include "base/Feedback.h"

namespace skyvane::bench {

class NoDialogs : public DialogProvider {
public:
    QString openFitsFile(QWidget*, const QString&) override { return {}; }
    QString saveFitsFile(QWidget*, const QString&) override { return {}; }
    QString saveBitmapFile(QWidget*, const QString&) override { return {}; }
    std::optional<double> askConstant(QWidget*, const QString&, double) override { return std::nullopt; }
    QString askImageList(QWidget*, const QString&, const QStringList&) override { return {}; }
    QString askImageFile(QWidget*, const QString&) override { return {}; }
    QStringList askNewImages(QWidget*, const QString&) override { return {}; }
    QString chooseFolder(QWidget*, const QString&, const QString&) override { return {}; }
    void showPreferences(QWidget*, AppContext&) override {}
    void showAbout(QWidget*) override {}
};

class CountingFeedback final : public Feedback {
public:
    void showError(const std::string&) override { ++count; }
    int count = 0;
};

// The main window over a new settings file in folder (made here, its working path), shown,
// its picture area grown to clientWidth x clientHeight.
inline std::unique_ptr<MainWindow> ShowProgram(const std::filesystem::path& folder, DialogProvider& dialogs, Feedback& messages,
                                               int clientWidth, int clientHeight)
{
    std::filesystem::create_directories(folder);
    const std::string ini = (folder / "Skyvane.ini").string();
    std::ofstream(ini) << "[PATH]\nWorking path=" << folder.string() << "\n";
    MainWindowOptions options;
    options.settingsPath = ini;
    options.dialogs = &dialogs;
    options.messages = &messages;
    auto window = std::make_unique<MainWindow>(options);
    window->show();
    QApplication::processEvents();
    QWidget* view = window->displayView();
    window->resize(window->width() + clientWidth - view->width(), window->height() + clientHeight - view->height());
    QApplication::processEvents();
    return window;
}

// Runs the benchmarks named on the command line under a QApplication (made first, as every
// widget needs it; the offscreen platform unless the environment names one); ended runs
// before the application goes, so that its windows are closed while it exists.
inline int RunBenchmarks(int argc, char** argv, const std::function<void()>& ended = {})
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", QByteArray("offscreen"));
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (ended)
        ended();
    return 0;
}

} // namespace skyvane::bench
