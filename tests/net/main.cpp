// The sender takes its read notifications and lookup answers through the Qt event loop, so the
// tests run with an application object on the main thread.
#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    // Some tests end the program with a lookup still pending; run them in a fresh process.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    return RUN_ALL_TESTS();
}
