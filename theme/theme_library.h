// The visual-style library, bound once at start-up for the whole run and
// released at every end of the process. Nothing in the program calls the
// bound functions; what matters is that a missing library or a missing name
// passes silently.
#pragma once

#include <array>
#include <string_view>

#include "platform/library.h"
#include "theme/uxtheme_api.h"

namespace theme {

extern platform::HMODULE ThemeLibraryHandle;
extern bool ThemeLibraryLoaded;

#define QUILL_THEME_POINTER(name, result, params) extern uxtheme::name##Proc name;
QUILL_UXTHEME_FUNCTIONS(QUILL_THEME_POINTER)
#undef QUILL_THEME_POINTER

// The 46 names in the order they are bound.
extern const std::array<std::string_view, 46> ThemeFunctionNames;

// Loads "uxtheme.dll" without an error box and binds every name; the error
// mode is the caller's again afterwards.
void BindThemeLibrary();
// Frees the library once if it was loaded; the pointers stay as they are.
void ReleaseThemeLibrary();

}  // namespace theme
