// What the visual-style stand-in exports; the other 34 names are missing on
// purpose, so that the binding's path of a missing name is real.
#pragma once

#include <set>
#include <string>

namespace testsupport {

inline const std::set<std::string> kUxthemeExports = {
    "OpenThemeData",
    "CloseThemeData",
    "SetWindowTheme",
    "IsThemeActive",
    "IsAppThemed",
    "GetWindowTheme",
    "EnableThemeDialogTexture",
    "IsThemeDialogTextureEnabled",
    "GetThemeAppProperties",
    "SetThemeAppProperties",
    "GetCurrentThemeName",
    "EnableTheming",
};

}  // namespace testsupport
