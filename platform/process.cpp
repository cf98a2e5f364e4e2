#include "platform/process.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace platform {
namespace {

std::vector<ProcessEndHook>& Hooks() {
    static std::vector<ProcessEndHook> hooks;
    return hooks;
}

}  // namespace

void RegisterProcessEndHook(ProcessEndHook hook) {
    Hooks().push_back(hook);
}

void ReleaseAtProcessEnd() {
    auto& hooks = Hooks();
    while (!hooks.empty()) {
        ProcessEndHook hook = hooks.back();
        hooks.pop_back();
        hook();
    }
}

void EndProcessNow() {
    ReleaseAtProcessEnd();
    std::fflush(nullptr);
    std::_Exit(0);
}

}  // namespace platform
