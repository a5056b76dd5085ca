#include <gtest/gtest.h>
#include <QApplication>

// Real widgets need a real application object; offscreen, so no display is needed.
int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
