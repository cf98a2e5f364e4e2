// The visual-style library stand-in: which names it exports, and its answers
// following the toolkit's current style.
#include <gtest/gtest.h>

#include <QApplication>
#include <QStyle>
#include <set>
#include <string>

#include "platform/library.h"
#include "platform/paths.h"
#include "tests/components/uxtheme/exported_names.h"
#include "theme/uxtheme_api.h"

using namespace uxtheme;

namespace {

#define QUILL_NAME(name, result, params) #name,
const char* const kAllNames[] = {QUILL_UXTHEME_FUNCTIONS(QUILL_NAME)};
#undef QUILL_NAME

class StandIn : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        module = platform::LoadLibraryA(platform::WindowsPath(UXTHEME_DLL).c_str());
    }
    static void TearDownTestSuite() { platform::FreeLibrary(module); }
    void SetUp() override {
        ASSERT_NE(module, nullptr);
        style = QApplication::style()->name();
    }
    void TearDown() override {
        QApplication::setStyle(style);
        Get<EnableThemingProc>("EnableTheming")(platform::TRUE);
    }

    template <class Proc>
    static Proc Get(const char* name) {
        return reinterpret_cast<Proc>(platform::GetProcAddress(module, name));
    }

    // The three names GetCurrentThemeName gives, or its failure.
    static std::string CurrentThemeName() {
        WCHAR name[64], colour[64], size[64];
        const HRESULT hr =
            Get<GetCurrentThemeNameProc>("GetCurrentThemeName")(name, 64, colour, 64, size, 64);
        if (hr != S_OK) {
            return "failed";
        }
        return QString::fromUtf16(name).toStdString() + " " +
               QString::fromUtf16(colour).toStdString() + " " +
               QString::fromUtf16(size).toStdString();
    }

    static inline platform::HMODULE module = nullptr;
    QString style;
};

TEST_F(StandIn, ExportsTheMeaningfulNamesAndLacksTheDrawingOnes) {
    const std::set<std::string>& exported = testsupport::kUxthemeExports;
    for (const char* name : kAllNames) {
        EXPECT_EQ(platform::GetProcAddress(module, name) != nullptr, exported.count(name) != 0)
            << name;
    }
}

TEST_F(StandIn, AnswersFollowTheToolkitsCurrentStyle) {
    const auto active = Get<IsThemeActiveProc>("IsThemeActive");
    const auto themed = Get<IsAppThemedProc>("IsAppThemed");
    struct Row {
        const char* style;
        BOOL active, themed;
        std::string name;
    } rows[] = {
        {"Fusion", platform::TRUE, platform::TRUE, "fusion NormalColor NormalSize"},
        {"Windows", platform::TRUE, platform::FALSE, "windows NormalColor NormalSize"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.style);
        ASSERT_NE(QApplication::setStyle(QString::fromLatin1(row.style)), nullptr);
        EXPECT_EQ(active(), row.active);
        EXPECT_EQ(themed(), row.themed);
        EXPECT_EQ(CurrentThemeName(), row.name);
    }
    // Theming turned off: no theme, whatever the style.
    QApplication::setStyle(QStringLiteral("Fusion"));
    EXPECT_EQ(Get<EnableThemingProc>("EnableTheming")(platform::FALSE), S_OK);
    EXPECT_EQ(active(), platform::FALSE);
    EXPECT_EQ(themed(), platform::FALSE);
    EXPECT_EQ(CurrentThemeName(), "failed");
}

TEST_F(StandIn, TheThemeNameNeedsRoomForItsTextAndItsEnd) {
    QApplication::setStyle(QStringLiteral("Fusion"));
    const auto name = Get<GetCurrentThemeNameProc>("GetCurrentThemeName");
    WCHAR buffer[7] = {u'x', u'x', u'x', u'x', u'x', u'x', u'x'};
    EXPECT_EQ(name(buffer, 6, nullptr, 0, nullptr, 0), E_INSUFFICIENT_BUFFER);  // "fusion" is 6
    EXPECT_EQ(name(buffer, 7, nullptr, 0, nullptr, 0), S_OK);
    EXPECT_EQ(std::u16string(buffer), u"fusion");
    EXPECT_EQ(name(nullptr, 5, nullptr, 0, nullptr, 0), E_INSUFFICIENT_BUFFER);
}

TEST_F(StandIn, PropertiesAndDialogTextureAreKept) {
    const auto getProperties = Get<GetThemeAppPropertiesProc>("GetThemeAppProperties");
    const auto setProperties = Get<SetThemeAppPropertiesProc>("SetThemeAppProperties");
    const DWORD original = getProperties();
    EXPECT_EQ(original, STAP_ALLOW_NONCLIENT | STAP_ALLOW_CONTROLS | STAP_ALLOW_WEBCONTENT);
    setProperties(STAP_ALLOW_CONTROLS);
    EXPECT_EQ(getProperties(), STAP_ALLOW_CONTROLS);
    setProperties(original);

    const auto enable = Get<EnableThemeDialogTextureProc>("EnableThemeDialogTexture");
    const auto enabled = Get<IsThemeDialogTextureEnabledProc>("IsThemeDialogTextureEnabled");
    int dummy = 0;
    const auto hwnd = reinterpret_cast<HWND>(&dummy);
    EXPECT_EQ(enabled(hwnd), platform::FALSE);
    EXPECT_EQ(enable(hwnd, 0x6), S_OK);  // ETDT_ENABLETAB
    EXPECT_EQ(enabled(hwnd), platform::TRUE);
    EXPECT_EQ(enable(hwnd, 0x1), S_OK);  // ETDT_DISABLE
    EXPECT_EQ(enabled(hwnd), platform::FALSE);
    EXPECT_EQ(enable(nullptr, 0x2), E_INVALIDARG);

    // No window class has theme data: the toolkit draws its own controls.
    EXPECT_EQ(Get<OpenThemeDataProc>("OpenThemeData")(hwnd, u"BUTTON"), nullptr);
    EXPECT_EQ(Get<GetWindowThemeProc>("GetWindowTheme")(hwnd), nullptr);
    EXPECT_EQ(Get<CloseThemeDataProc>("CloseThemeData")(nullptr), S_OK);
    EXPECT_EQ(Get<SetWindowThemeProc>("SetWindowTheme")(hwnd, u"Explorer", nullptr), S_OK);
}

}  // namespace
