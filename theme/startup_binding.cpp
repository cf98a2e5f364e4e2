// Binds the visual-style library while the program's units start, before
// main runs, and hands its release to every end of the process. Linked into
// the executable as an object of its own, so that the linker cannot drop it.
#include "platform/process.h"
#include "theme/theme_library.h"

namespace {

[[maybe_unused]] const bool bound = [] {
    theme::BindThemeLibrary();
    platform::RegisterProcessEndHook(&theme::ReleaseThemeLibrary);
    return true;
}();

}  // namespace
