// Ending the process. The normal end and the immediate stops both release
// what the program bound for its whole run (the visual-style library), so
// those releases register here.
#pragma once

namespace platform {

using ProcessEndHook = void (*)();

// Hooks run once, last registered first, at the first of ReleaseAtProcessEnd
// or EndProcessNow.
void RegisterProcessEndHook(ProcessEndHook hook);
void ReleaseAtProcessEnd();

// Runs the hooks, flushes standard output and ends the process at once with
// status 0: no destructors, no return to the message loop.
[[noreturn]] void EndProcessNow();

}  // namespace platform
