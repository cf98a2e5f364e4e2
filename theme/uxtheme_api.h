// The functions of the visual-style library "uxtheme.dll", in the shape the
// program binds them. The stand-in library (components/uxtheme) implements
// some of them with exactly these signatures. Windows structures that no
// caller here looks into stay incomplete.
#pragma once

#include <cstdint>

#include "platform/win_types.h"

namespace uxtheme {

using platform::BOOL;
using platform::DWORD;
using platform::UINT;
using WORD = std::uint16_t;
using LONG = std::int32_t;
using HRESULT = std::int32_t;
using COLORREF = DWORD;
// Windows' wide characters are 16 bits.
using WCHAR = char16_t;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;

constexpr HRESULT S_OK = 0;
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
// HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER).
constexpr HRESULT E_INSUFFICIENT_BUFFER = static_cast<HRESULT>(0x8007007Au);

struct HWND__;
using HWND = HWND__*;
struct HDC__;
using HDC = HDC__*;
struct HRGN__;
using HRGN = HRGN__*;
struct HBRUSH__;
using HBRUSH = HBRUSH__*;
struct HIMAGELIST__;
using HIMAGELIST = HIMAGELIST__*;
struct HTHEME__;
using HTHEME = HTHEME__*;

struct RECT {
    LONG left, top, right, bottom;
};
struct POINT {
    LONG x, y;
};
struct SIZE {
    LONG cx, cy;
};
struct MARGINS {
    int cxLeftWidth, cxRightWidth, cyTopHeight, cyBottomHeight;
};
struct TEXTMETRICW;
struct LOGFONTW;
struct INTLIST;
using THEMESIZE = int;

// SetThemeAppProperties flags.
constexpr DWORD STAP_ALLOW_NONCLIENT = 1;
constexpr DWORD STAP_ALLOW_CONTROLS = 2;
constexpr DWORD STAP_ALLOW_WEBCONTENT = 4;

// The 46 functions in binding order: X(name, result, parameters).
#define QUILL_UXTHEME_FUNCTIONS(X)                                                                 \
    X(OpenThemeData, HTHEME, (HWND hwnd, LPCWSTR classList))                                       \
    X(CloseThemeData, HRESULT, (HTHEME theme))                                                     \
    X(DrawThemeBackground, HRESULT,                                                                \
      (HTHEME theme, HDC dc, int part, int state, const RECT* rect, const RECT* clip))             \
    X(DrawThemeText, HRESULT,                                                                      \
      (HTHEME theme, HDC dc, int part, int state, LPCWSTR text, int count, DWORD flags,            \
       DWORD flags2, const RECT* rect))                                                            \
    X(GetThemeBackgroundContentRect, HRESULT,                                                      \
      (HTHEME theme, HDC dc, int part, int state, const RECT* bounds, RECT* content))              \
    X(GetThemeBackgroundExtent, HRESULT,                                                           \
      (HTHEME theme, HDC dc, int part, int state, const RECT* content, RECT* extent))              \
    X(GetThemeTextExtent, HRESULT,                                                                 \
      (HTHEME theme, HDC dc, int part, int state, LPCWSTR text, int count, DWORD flags,            \
       const RECT* bounds, RECT* extent))                                                          \
    X(GetThemePartSize, HRESULT,                                                                   \
      (HTHEME theme, HDC dc, int part, int state, const RECT* rect, THEMESIZE size, SIZE* result)) \
    X(GetThemeTextMetrics, HRESULT,                                                                \
      (HTHEME theme, HDC dc, int part, int state, TEXTMETRICW* metrics))                           \
    X(GetThemeBackgroundRegion, HRESULT,                                                           \
      (HTHEME theme, HDC dc, int part, int state, const RECT* rect, HRGN* region))                 \
    X(HitTestThemeBackground, HRESULT,                                                             \
      (HTHEME theme, HDC dc, int part, int state, DWORD options, const RECT* rect, HRGN region,    \
       POINT test, WORD* code))                                                                    \
    X(DrawThemeEdge, HRESULT,                                                                      \
      (HTHEME theme, HDC dc, int part, int state, const RECT* dest, UINT edge, UINT flags,         \
       RECT* content))                                                                             \
    X(DrawThemeIcon, HRESULT,                                                                      \
      (HTHEME theme, HDC dc, int part, int state, const RECT* rect, HIMAGELIST images, int index)) \
    X(IsThemePartDefined, BOOL, (HTHEME theme, int part, int state))                               \
    X(IsThemeBackgroundPartiallyTransparent, BOOL, (HTHEME theme, int part, int state))            \
    X(GetThemeColor, HRESULT, (HTHEME theme, int part, int state, int prop, COLORREF* color))      \
    X(GetThemeMetric, HRESULT, (HTHEME theme, HDC dc, int part, int state, int prop, int* value))  \
    X(GetThemeString, HRESULT,                                                                     \
      (HTHEME theme, int part, int state, int prop, LPWSTR buffer, int size))                      \
    X(GetThemeBool, HRESULT, (HTHEME theme, int part, int state, int prop, BOOL* value))           \
    X(GetThemeInt, HRESULT, (HTHEME theme, int part, int state, int prop, int* value))             \
    X(GetThemeEnumValue, HRESULT, (HTHEME theme, int part, int state, int prop, int* value))       \
    X(GetThemePosition, HRESULT, (HTHEME theme, int part, int state, int prop, POINT* point))      \
    X(GetThemeFont, HRESULT,                                                                       \
      (HTHEME theme, HDC dc, int part, int state, int prop, LOGFONTW* font))                       \
    X(GetThemeRect, HRESULT, (HTHEME theme, int part, int state, int prop, RECT* rect))            \
    X(GetThemeMargins, HRESULT,                                                                    \
      (HTHEME theme, HDC dc, int part, int state, int prop, RECT* rect, MARGINS* margins))         \
    X(GetThemeIntList, HRESULT, (HTHEME theme, int part, int state, int prop, INTLIST* list))      \
    X(SetWindowTheme, HRESULT, (HWND hwnd, LPCWSTR subAppName, LPCWSTR subIdList))                 \
    X(GetThemeFilename, HRESULT,                                                                   \
      (HTHEME theme, int part, int state, int prop, LPWSTR buffer, int size))                      \
    X(GetThemeSysColor, COLORREF, (HTHEME theme, int colorId))                                     \
    X(GetThemeSysColorBrush, HBRUSH, (HTHEME theme, int colorId))                                  \
    X(GetThemeSysBool, BOOL, (HTHEME theme, int boolId))                                           \
    X(GetThemeSysSize, int, (HTHEME theme, int sizeId))                                            \
    X(GetThemeSysFont, HRESULT, (HTHEME theme, int fontId, LOGFONTW* font))                        \
    X(GetThemeSysString, HRESULT, (HTHEME theme, int stringId, LPWSTR buffer, int size))           \
    X(GetThemeSysInt, HRESULT, (HTHEME theme, int intId, int* value))                              \
    X(IsThemeActive, BOOL, ())                                                                     \
    X(IsAppThemed, BOOL, ())                                                                       \
    X(GetWindowTheme, HTHEME, (HWND hwnd))                                                         \
    X(EnableThemeDialogTexture, HRESULT, (HWND hwnd, DWORD flags))                                 \
    X(IsThemeDialogTextureEnabled, BOOL, (HWND hwnd))                                              \
    X(GetThemeAppProperties, DWORD, ())                                                            \
    X(SetThemeAppProperties, void, (DWORD flags))                                                  \
    X(GetCurrentThemeName, HRESULT,                                                                \
      (LPWSTR themeFileName, int nameSize, LPWSTR colorName, int colorSize, LPWSTR sizeName,       \
       int sizeSize))                                                                              \
    X(GetThemeDocumentationProperty, HRESULT,                                                      \
      (LPCWSTR themeName, LPCWSTR propertyName, LPWSTR buffer, int size))                          \
    X(DrawThemeParentBackground, HRESULT, (HWND hwnd, HDC dc, RECT * rect))                        \
    X(EnableTheming, HRESULT, (BOOL enable))

// NameProc: the pointer type of each function.
#define QUILL_UXTHEME_PROC_TYPE(name, result, params) using name##Proc = result(*) params;
QUILL_UXTHEME_FUNCTIONS(QUILL_UXTHEME_PROC_TYPE)
#undef QUILL_UXTHEME_PROC_TYPE

}  // namespace uxtheme
