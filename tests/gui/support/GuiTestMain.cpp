#include <QApplication>
#include <QByteArray>

#include <gtest/gtest.h>

// The GUI tests' main(): a QApplication on the offscreen platform unless the environment
// names one. gtest_discover_tests runs this program at build time without the test
// environment, so the platform must be chosen here.
int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", QByteArray("offscreen"));
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
