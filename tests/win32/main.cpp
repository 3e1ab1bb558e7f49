// The driver delivers its events through the Qt event loop: the tests run with an application
// object on the main thread. No window is made, so no display is needed.
#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
