#include "theme/theme_library.h"

#include <cstdint>

namespace theme {

platform::HMODULE ThemeLibraryHandle = nullptr;
bool ThemeLibraryLoaded = false;

#define QUILL_THEME_POINTER(name, result, params) uxtheme::name##Proc name = nullptr;
QUILL_UXTHEME_FUNCTIONS(QUILL_THEME_POINTER)
#undef QUILL_THEME_POINTER

#define QUILL_THEME_NAME(name, result, params) #name,
const std::array<std::string_view, 46> ThemeFunctionNames = {
    QUILL_UXTHEME_FUNCTIONS(QUILL_THEME_NAME)};
#undef QUILL_THEME_NAME

namespace {

template <class Proc>
void Bind(Proc& pointer, const char* name) {
    // An absent name gives a null pointer, stored like any other.
    pointer = reinterpret_cast<Proc>(platform::GetProcAddress(ThemeLibraryHandle, name));
}

}  // namespace

void BindThemeLibrary() {
    ThemeLibraryLoaded = false;
    const platform::UINT oldMode = platform::SetErrorMode(platform::SEM_NOOPENFILEERRORBOX);
    ThemeLibraryHandle = platform::LoadLibraryA("uxtheme.dll");
    platform::SetErrorMode(oldMode);
    if (ThemeLibraryHandle == nullptr) {
        return;
    }
#define QUILL_THEME_BIND(name, result, params) Bind(name, #name);
    QUILL_UXTHEME_FUNCTIONS(QUILL_THEME_BIND)
#undef QUILL_THEME_BIND
    ThemeLibraryLoaded = true;
}

void ReleaseThemeLibrary() {
    if (ThemeLibraryLoaded) {
        ThemeLibraryLoaded = false;
        platform::FreeLibrary(ThemeLibraryHandle);
    }
}

}  // namespace theme
