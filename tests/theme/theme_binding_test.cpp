// The binding of the visual-style library and its release, against the
// stand-in library installed in (or missing from) a throw-away workstation.
#include "theme/theme_library.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "platform/process.h"
#include "tests/components/uxtheme/exported_names.h"
#include "tests/support/temp_workstation.h"

namespace fs = std::filesystem;

namespace {

const std::set<std::string>& kExported = testsupport::kUxthemeExports;

struct Pointer {
    std::string name;
    void (*clear)();
    const void* (*value)();
};

#define QUILL_TEST_POINTER(name, result, params)                                                 \
    Pointer{                                                                                     \
        #name, [] { theme::name = nullptr; },                                                    \
        [] {                                                                                     \
            return reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(theme::name)); \
        }},
const std::vector<Pointer> kPointers = {QUILL_UXTHEME_FUNCTIONS(QUILL_TEST_POINTER)};
#undef QUILL_TEST_POINTER

class Binding : public ::testing::Test {
  protected:
    void SetUp() override {
        theme::ReleaseThemeLibrary();
        for (const Pointer& p : kPointers) {
            p.clear();
        }
        theme::ThemeLibraryHandle = nullptr;
        trace = ws.Root() / "trace.txt";
        setenv("QUILL_UXTHEME_TRACE", trace.c_str(), 1);
    }
    void TearDown() override {
        theme::ReleaseThemeLibrary();
        unsetenv("QUILL_UXTHEME_TRACE");
    }

    fs::path System32() const { return ws.Drive('c') / "Windows" / "System32"; }
    void InstallStandIn(const std::string& name = "uxtheme.dll") const {
        fs::create_directories(System32());
        fs::copy_file(UXTHEME_DLL, System32() / name);
    }
    std::string Trace() const { return testsupport::ReadFile(trace); }
    static std::string Line(const char* what) {
        return std::string(what) + " " + std::to_string(getpid()) + "\n";
    }
    // Binds with an error mode of the caller's and checks that it comes back.
    void BindKeepingErrorMode() {
        const platform::UINT callers = platform::SEM_FAILCRITICALERRORS;
        const platform::UINT before = platform::SetErrorMode(callers);
        theme::BindThemeLibrary();
        EXPECT_EQ(platform::SetErrorMode(before), callers);
    }

    testsupport::TempWorkstation ws;
    fs::path trace;
};

TEST_F(Binding, AMissingLibraryBindsNothingAndLeavesTheErrorModeAsItWas) {
    theme::ThemeLibraryLoaded = true;  // the binding starts by clearing it
    BindKeepingErrorMode();
    EXPECT_FALSE(theme::ThemeLibraryLoaded);
    EXPECT_EQ(theme::ThemeLibraryHandle, nullptr);
    for (const Pointer& p : kPointers) {
        EXPECT_EQ(p.value(), nullptr) << p.name;
    }
    theme::ReleaseThemeLibrary();
    EXPECT_EQ(Trace(), "");
}

TEST_F(Binding, AFileThatIsNoLibraryCountsAsMissing) {
    ws.WriteFile(System32() / "uxtheme.dll", "MZ\x90\0 not a shared object");
    BindKeepingErrorMode();
    EXPECT_FALSE(theme::ThemeLibraryLoaded);
    EXPECT_EQ(theme::ThemeLibraryHandle, nullptr);
}

TEST_F(Binding, MissingNamesStayEmptyWhileTheOthersAreBoundAndTheFlagIsSet) {
    InstallStandIn("UxTheme.DLL");
    BindKeepingErrorMode();
    ASSERT_TRUE(theme::ThemeLibraryLoaded);
    ASSERT_NE(theme::ThemeLibraryHandle, nullptr);
    for (const Pointer& p : kPointers) {
        SCOPED_TRACE(p.name);
        const bool exported = kExported.count(p.name) != 0;
        EXPECT_EQ(p.value() != nullptr, exported);
        if (exported) {
            EXPECT_EQ(p.value(), dlsym(theme::ThemeLibraryHandle, p.name.c_str()));
        }
    }
    // The bound functions are the library's own. No application object exists
    // in this test, so there is no style and no active theme.
    EXPECT_EQ(theme::IsThemeActive(), platform::FALSE);
    EXPECT_EQ(theme::GetCurrentThemeName(nullptr, 0, nullptr, 0, nullptr, 0), uxtheme::E_FAIL);
    theme::SetThemeAppProperties(uxtheme::STAP_ALLOW_NONCLIENT);
    EXPECT_EQ(theme::GetThemeAppProperties(), uxtheme::STAP_ALLOW_NONCLIENT);
}

TEST_F(Binding, TheReleaseFreesTheLibraryOnceAndLeavesThePointers) {
    InstallStandIn();
    theme::BindThemeLibrary();
    ASSERT_TRUE(theme::ThemeLibraryLoaded);
    EXPECT_EQ(Trace(), Line("loaded"));
    const auto bound = theme::IsThemeActive;

    theme::ReleaseThemeLibrary();
    EXPECT_FALSE(theme::ThemeLibraryLoaded);
    EXPECT_EQ(Trace(), Line("loaded") + Line("unloaded"));
    EXPECT_EQ(theme::IsThemeActive, bound);
    theme::ReleaseThemeLibrary();
    EXPECT_EQ(Trace(), Line("loaded") + Line("unloaded"));
}

TEST_F(Binding, TheReleaseRunsAsAProcessEndHook) {
    InstallStandIn();
    theme::BindThemeLibrary();
    platform::RegisterProcessEndHook(&theme::ReleaseThemeLibrary);
    platform::ReleaseAtProcessEnd();
    EXPECT_FALSE(theme::ThemeLibraryLoaded);
    EXPECT_EQ(Trace(), Line("loaded") + Line("unloaded"));
}

TEST(BindingOrder, TheNamesAreBoundInTheirFixedOrder) {
    const std::vector<std::string> expected = {
        "OpenThemeData",
        "CloseThemeData",
        "DrawThemeBackground",
        "DrawThemeText",
        "GetThemeBackgroundContentRect",
        "GetThemeBackgroundExtent",
        "GetThemeTextExtent",
        "GetThemePartSize",
        "GetThemeTextMetrics",
        "GetThemeBackgroundRegion",
        "HitTestThemeBackground",
        "DrawThemeEdge",
        "DrawThemeIcon",
        "IsThemePartDefined",
        "IsThemeBackgroundPartiallyTransparent",
        "GetThemeColor",
        "GetThemeMetric",
        "GetThemeString",
        "GetThemeBool",
        "GetThemeInt",
        "GetThemeEnumValue",
        "GetThemePosition",
        "GetThemeFont",
        "GetThemeRect",
        "GetThemeMargins",
        "GetThemeIntList",
        "SetWindowTheme",
        "GetThemeFilename",
        "GetThemeSysColor",
        "GetThemeSysColorBrush",
        "GetThemeSysBool",
        "GetThemeSysSize",
        "GetThemeSysFont",
        "GetThemeSysString",
        "GetThemeSysInt",
        "IsThemeActive",
        "IsAppThemed",
        "GetWindowTheme",
        "EnableThemeDialogTexture",
        "IsThemeDialogTextureEnabled",
        "GetThemeAppProperties",
        "SetThemeAppProperties",
        "GetCurrentThemeName",
        "GetThemeDocumentationProperty",
        "DrawThemeParentBackground",
        "EnableTheming",
    };
    const std::vector<std::string> names(theme::ThemeFunctionNames.begin(),
                                         theme::ThemeFunctionNames.end());
    EXPECT_EQ(names, expected);
    std::vector<std::string> pointers;
    for (const Pointer& p : kPointers) {
        pointers.push_back(p.name);
    }
    EXPECT_EQ(pointers, expected);
}

}  // namespace
