// GoogleTest entry for tests that need the window toolkit: one application
// object for the whole run, on Qt's offscreen platform unless told otherwise.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "platform/qt_application.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    platform::SubstituteDesignFonts();
    return RUN_ALL_TESTS();
}
