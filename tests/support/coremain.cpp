#include <gtest/gtest.h>
#include <QCoreApplication>

// Downloads, sockets, timers and queued calls need an application object;
// the tests run on its thread.
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
