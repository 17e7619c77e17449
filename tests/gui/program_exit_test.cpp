// The real program, as a whole process: closing its main window ends it with 0, whatever
// its tool windows do. The closing is done inside the process by the test driver plugin
// (tests/gui/driver), the way the window manager and the keyboard deliver it.
#include <filesystem>
#include <string>

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>

#include <gtest/gtest.h>

#include "support/GuiTestSupport.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::TempDir;

double Ramp(int x, int y)
{
    return 1000.0 + x + 100.0 * y;
}

struct Ending {
    bool ended = false;
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    QString err;
};

// Starts build/skyvane on a file and lets the driver take steps once the file is shown.
// The program has to end by itself: it is given a few seconds after the driver's last
// step (ending is immediate; the slack is for a sanitizer build's exit checks on a busy
// machine), then killed.
Ending RunProgram(const QString& steps, const QString& lastStep)
{
    TempDir dir;
    const std::string image = test::WriteFitsFunction(dir.file("ramp.fit"), 64, 48, Ramp);
    const std::string config = dir.file("config");
    std::filesystem::create_directories(config);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QT_PLUGIN_PATH"), QStringLiteral(SKYVANE_TEST_PLUGIN_DIR));
    env.insert(QStringLiteral("QT_QPA_GENERIC_PLUGINS"), QStringLiteral("skyvanedriver:") + steps);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), QString::fromStdString(config));
    QProcess process;
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(QString::fromStdString(dir.path().string()));
    process.start(QStringLiteral(SKYVANE_PROGRAM_PATH), {QString::fromStdString(image)});
    Ending ending;
    if (!process.waitForStarted(30000))
        return ending;

    const QByteArray done = "driver: " + lastStep.toUtf8() + "\n";
    QByteArray err;
    // The program starts and shows the file first (slow under the sanitizers).
    for (int waited = 0; !err.contains(done) && process.state() == QProcess::Running && waited < 60000; waited += 100) {
        process.waitForReadyRead(100);
        err += process.readAllStandardError();
    }
    ending.ended = process.state() == QProcess::NotRunning || process.waitForFinished(5000);
    if (!ending.ended) {
        process.kill();
        process.waitForFinished(5000);
    }
    err += process.readAllStandardError();
    ending.err = QString::fromUtf8(err);
    ending.exitCode = process.exitCode();
    ending.exitStatus = process.exitStatus();
    return ending;
}

struct ExitCase {
    const char* name;
    const char* steps;
    const char* lastStep;
};

class ProgramExitTest : public ::testing::TestWithParam<ExitCase> {};

TEST_P(ProgramExitTest, EndsWithZeroWhateverTheToolWindowsDo)
{
    const ExitCase& c = GetParam();
    const Ending ending = RunProgram(QString::fromLatin1(c.steps), QString::fromLatin1(c.lastStep));
    EXPECT_TRUE(ending.err.contains(QStringLiteral("driver: ") + QString::fromLatin1(c.lastStep))) << ending.err.toStdString();
    EXPECT_TRUE(ending.ended) << "the program was still running after its main window was closed";
    EXPECT_EQ(ending.exitStatus, QProcess::NormalExit);
    EXPECT_EQ(ending.exitCode, 0) << ending.err.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Closing, ProgramExitTest,
                         ::testing::Values(ExitCase{"WindowManagerClose", "wmclose", "wmclose"},
                                           ExitCase{"FileExitByKeys", "exit-keys", "exit-keys"},
                                           ExitCase{"ToolWindowsClosedFirst", "close-tools+wmclose", "wmclose"}),
                         [](const ::testing::TestParamInfo<ExitCase>& param) { return std::string(param.param.name); });

} // namespace
} // namespace skyvane
