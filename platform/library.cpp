#include "platform/library.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdint>

#include "platform/paths.h"

namespace platform {

namespace {

std::atomic<UINT> errorMode{0};

bool HasDirectory(const AnsiString& name) {
    return name.find_first_of("\\/:") != AnsiString::npos;
}

AnsiString WithDefaultExtension(const AnsiString& name) {
    const AnsiString file = ExtractFileName(name);
    return file.find('.') == AnsiString::npos ? name + ".dll" : name;
}

AnsiString ExistingHostPath(const AnsiString& windowsPath) {
    if (!FileExists(windowsPath))
        return {};
    const auto host = HostPath(windowsPath);
    return host ? AnsiString(host->string()) : AnsiString();
}

}  // namespace

UINT SetErrorMode(UINT mode) {
    return errorMode.exchange(mode);
}

AnsiString LibrarySearchPath(const AnsiString& fileName) {
    if (fileName.empty())
        return {};
    const AnsiString name = WithDefaultExtension(fileName);
    if (HasDirectory(name))
        return ExistingHostPath(ExpandFileName(name));
    for (const AnsiString& dir :
         {ExtractFilePath(ExecutableFileName()), AnsiString("C:\\Windows\\System32\\")}) {
        if (dir.empty())
            continue;
        if (AnsiString found = ExistingHostPath(dir + name); !found.empty())
            return found;
    }
    return {};
}

HMODULE LoadLibraryA(const char* fileName) {
    if (fileName == nullptr)
        return nullptr;
    const AnsiString path = LibrarySearchPath(fileName);
    if (path.empty())
        return nullptr;
    return static_cast<HMODULE>(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
}

FARPROC GetProcAddress(HMODULE module, const char* procName) {
    if (module == nullptr || procName == nullptr)
        return nullptr;
    // POSIX guarantees that a data pointer from dlsym converts to a function
    // pointer; the cast goes through an integer to say so.
    void* symbol = dlsym(module, procName);
    return reinterpret_cast<FARPROC>(reinterpret_cast<std::uintptr_t>(symbol));
}

BOOL FreeLibrary(HMODULE module) {
    if (module == nullptr)
        return FALSE;
    return dlclose(module) == 0 ? TRUE : FALSE;
}

}  // namespace platform
