// Test entry point: the driver and the channel deliver their events through the Qt event loop,
// so every serial test runs with an application object on the main thread.
#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
