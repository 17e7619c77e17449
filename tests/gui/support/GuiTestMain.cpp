#include <QApplication>
#include <QByteArray>
#include <QString>

#include <gtest/gtest.h>

namespace {

QtMessageHandler defaultHandler = nullptr;

// The offscreen platform reports every window operation it cannot do ("This plugin does
// not support raise()"); those notices say nothing about the program and hide the test
// output, so they are dropped. Everything else goes to Qt's own handler.
void FilterPlatformNotices(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (message.startsWith(QLatin1String("This plugin does not support")))
        return;
    if (defaultHandler)
        defaultHandler(type, context, message);
}

} // namespace

// The GUI tests' main(): a QApplication on the offscreen platform unless the environment
// names one. gtest_discover_tests runs this program at build time without the test
// environment, so the platform must be chosen here.
int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", QByteArray("offscreen"));
    defaultHandler = qInstallMessageHandler(FilterPlatformNotices);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
