// The real program as a process: closing its main window ends it with 0, whatever its tool
// windows do. The closing happens inside the process, by the plugin in tests/gui/driver.
#include <filesystem>

#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace skyvane {
namespace {

class ProgramExitTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ProgramExitTest, ClosingTheMainWindowEndsTheProgramWithZero)
{
    test::TempDir dir;
    const std::string image = test::WriteFitsFunction(dir.file("ramp.fit"), 64, 48, [](int x, int y) { return 1000.0 + x + 100.0 * y; });
    std::filesystem::create_directories(dir.file("config"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("QT_PLUGIN_PATH", SKYVANE_TEST_PLUGIN_DIR);
    env.insert("QT_QPA_GENERIC_PLUGINS", QStringLiteral("skyvanedriver:") + GetParam());
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(dir.file("config")));
    QProcess program;
    program.setProcessEnvironment(env);
    program.start(SKYVANE_PROGRAM_PATH, {QString::fromStdString(image)});
    ASSERT_TRUE(program.waitForStarted(30000));

    // Until the driver has closed (slow to start under the sanitizers), then a few seconds
    // for the program to end by itself (it ends at once; the rest is slack for a busy machine).
    QByteArray err;
    for (int waited = 0; !err.contains("driver: ") && program.state() == QProcess::Running && waited < 60000; waited += 100) {
        program.waitForReadyRead(100);
        err += program.readAllStandardError();
    }
    const bool ended = program.state() == QProcess::NotRunning || program.waitForFinished(5000);
    if (!ended)
        program.kill();
    program.waitForFinished(5000);
    err += program.readAllStandardError();
    EXPECT_TRUE(err.contains(QByteArray("driver: ") + GetParam())) << err.toStdString();
    EXPECT_TRUE(ended) << "the program still ran after its main window was closed";
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0) << err.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Closing, ProgramExitTest, ::testing::Values("wmclose", "exit-keys"));

} // namespace
} // namespace skyvane
