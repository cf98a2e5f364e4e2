// Prints the window style that the application object chose for this
// executable.
#include <QApplication>
#include <QStyle>
#include <cstdio>

#include "platform/qt_application.h"

int main(int argc, char** argv) {
    platform::QtApplication application(argc, argv);
    std::printf("%s\n", qPrintable(QApplication::style()->name()));
    return 0;
}
