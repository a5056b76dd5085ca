#include <gtest/gtest.h>
#include <QCoreApplication>

// The downloader and the handler need an application object for their
// network access and queued calls; the tests run on its thread.
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
