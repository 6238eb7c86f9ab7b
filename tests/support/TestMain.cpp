#include <QApplication>
#include <gtest/gtest.h>

// Every suite runs with a real (offscreen) application object, as the tool does.
int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
