#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char* argv[])
{
    // The window is driven in-process and never needs a screen, not even to list the tests.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
