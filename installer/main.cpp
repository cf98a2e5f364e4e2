// The installer's entry: the engine's default session, the application
// object, the main window and its message loop. Exit status 0 on every path.
#include <memory>

#include "engine/engine.h"
#include "installer/form1.h"
#include "platform/process.h"
#include "platform/qt_application.h"

int main(int argc, char** argv) {
    engine::Session();
    {
        platform::QtApplication application(argc, argv);
        auto form = std::make_unique<installer::TForm1>(application);
        application.Run(*form);
    }
    platform::ReleaseAtProcessEnd();
    return 0;
}
