#include <gtest/gtest.h>
#include <QCoreApplication>

// The handler runs its queued calls on the application's thread, as in the
// program; the tests run there too.
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
