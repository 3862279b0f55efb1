// The main of the test programs that start processes or use Qt's sockets and
// serial ports: those need an event dispatcher in the main thread, which a
// QCoreApplication gives (no event loop has to run).

#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
