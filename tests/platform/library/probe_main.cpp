// Loads the library named on the command line as the program would, and
// prints the file it would open and the file that was loaded ("null" when
// none), one per line.
#include <dlfcn.h>
#include <link.h>

#include <cstdio>

#include "platform/library.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        return 2;
    }
    std::printf("%s\n", platform::LibrarySearchPath(argv[1]).c_str());
    platform::HMODULE module = platform::LoadLibraryA(argv[1]);
    link_map* map = nullptr;
    if (module != nullptr && dlinfo(module, RTLD_DI_LINKMAP, &map) == 0) {
        std::printf("%s\n", map->l_name);
    } else {
        std::printf("null\n");
    }
    platform::FreeLibrary(module);
    return 0;
}
