// The visual-style library stand-in. It exports the functions whose answer
// means something on this platform and leaves the drawing and theme-data
// functions out, so that a program binding all 46 names meets missing ones.
// Visual styles here are the window toolkit's styles: the classic one is
// "Windows", every other style counts as a visual style. Before the
// application object exists (the library is loaded while the program's
// units start), there is no style and so no active theme.
#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QStyle>
#include <cstdlib>
#include <set>
#include <string>
#include <type_traits>

#include "theme/uxtheme_api.h"

using namespace uxtheme;

#define QUILL_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

bool themingEnabled = true;
DWORD appProperties = STAP_ALLOW_NONCLIENT | STAP_ALLOW_CONTROLS | STAP_ALLOW_WEBCONTENT;
std::set<HWND>& TexturedDialogs() {
    static std::set<HWND> dialogs;
    return dialogs;
}
constexpr DWORD ETDT_ENABLE = 0x2;
constexpr DWORD ETDT_DISABLE = 0x1;

QStyle* CurrentStyle() {
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        return nullptr;
    }
    return QApplication::style();
}

bool ClassicStyle(const QStyle& style) {
    return style.name().compare(QStringLiteral("windows"), Qt::CaseInsensitive) == 0;
}

// Copies text and its terminating zero; a null buffer of size 0 is skipped.
bool CopyOut(const std::u16string& text, LPWSTR buffer, int size) {
    if (buffer == nullptr && size == 0) {
        return true;
    }
    if (buffer == nullptr || size <= 0 || static_cast<std::size_t>(size) <= text.size()) {
        return false;
    }
    text.copy(buffer, text.size());
    buffer[text.size()] = u'\0';
    return true;
}

// Test hook: with QUILL_UXTHEME_TRACE naming a file, every load and unload of
// this library appends a line to it, so that a test can see the program free
// the library at each of its ends.
void Trace(const char* what) {
    const char* file = std::getenv("QUILL_UXTHEME_TRACE");
    if (file == nullptr || *file == '\0') {
        return;
    }
    const int fd = open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        return;
    }
    const std::string line = std::string(what) + " " + std::to_string(getpid()) + "\n";
    [[maybe_unused]] const auto written = write(fd, line.data(), line.size());
    close(fd);
}

__attribute__((constructor)) void OnLoad() {
    Trace("loaded");
}
__attribute__((destructor)) void OnUnload() {
    Trace("unloaded");
}

}  // namespace

QUILL_EXPORT BOOL IsThemeActive() {
    return themingEnabled && CurrentStyle() != nullptr ? platform::TRUE : platform::FALSE;
}

QUILL_EXPORT BOOL IsAppThemed() {
    if (!IsThemeActive()) {
        return platform::FALSE;
    }
    return ClassicStyle(*CurrentStyle()) ? platform::FALSE : platform::TRUE;
}

QUILL_EXPORT HRESULT GetCurrentThemeName(LPWSTR themeFileName, int nameSize, LPWSTR colorName,
                                         int colorSize, LPWSTR sizeName, int sizeSize) {
    if (!IsThemeActive()) {
        return E_FAIL;
    }
    const std::u16string name = CurrentStyle()->name().toStdU16String();
    if (!CopyOut(name, themeFileName, nameSize) || !CopyOut(u"NormalColor", colorName, colorSize) ||
        !CopyOut(u"NormalSize", sizeName, sizeSize)) {
        return E_INSUFFICIENT_BUFFER;
    }
    return S_OK;
}

QUILL_EXPORT HRESULT EnableTheming(BOOL enable) {
    themingEnabled = enable != platform::FALSE;
    return S_OK;
}

QUILL_EXPORT DWORD GetThemeAppProperties() {
    return appProperties;
}

QUILL_EXPORT void SetThemeAppProperties(DWORD flags) {
    appProperties = flags;
}

// The toolkit draws its controls itself: no window class has theme data.
QUILL_EXPORT HTHEME OpenThemeData(HWND, LPCWSTR) {
    return nullptr;
}

QUILL_EXPORT HRESULT CloseThemeData(HTHEME) {
    return S_OK;
}

QUILL_EXPORT HTHEME GetWindowTheme(HWND) {
    return nullptr;
}

QUILL_EXPORT HRESULT SetWindowTheme(HWND hwnd, LPCWSTR, LPCWSTR) {
    return hwnd == nullptr ? E_INVALIDARG : S_OK;
}

QUILL_EXPORT HRESULT EnableThemeDialogTexture(HWND hwnd, DWORD flags) {
    if (hwnd == nullptr) {
        return E_INVALIDARG;
    }
    if (flags & ETDT_DISABLE) {
        TexturedDialogs().erase(hwnd);
    } else if (flags & ETDT_ENABLE) {
        TexturedDialogs().insert(hwnd);
    }
    return S_OK;
}

QUILL_EXPORT BOOL IsThemeDialogTextureEnabled(HWND hwnd) {
    return TexturedDialogs().count(hwnd) != 0 ? platform::TRUE : platform::FALSE;
}

// The exports keep the signatures the program binds them with.
#define QUILL_CHECK_SIGNATURE(name) \
    static_assert(std::is_same_v<decltype(&::name), uxtheme::name##Proc>, #name);
QUILL_CHECK_SIGNATURE(IsThemeActive)
QUILL_CHECK_SIGNATURE(IsAppThemed)
QUILL_CHECK_SIGNATURE(GetCurrentThemeName)
QUILL_CHECK_SIGNATURE(EnableTheming)
QUILL_CHECK_SIGNATURE(GetThemeAppProperties)
QUILL_CHECK_SIGNATURE(SetThemeAppProperties)
QUILL_CHECK_SIGNATURE(OpenThemeData)
QUILL_CHECK_SIGNATURE(CloseThemeData)
QUILL_CHECK_SIGNATURE(GetWindowTheme)
QUILL_CHECK_SIGNATURE(SetWindowTheme)
QUILL_CHECK_SIGNATURE(EnableThemeDialogTexture)
QUILL_CHECK_SIGNATURE(IsThemeDialogTextureEnabled)
