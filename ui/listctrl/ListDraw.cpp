#include "ui/listctrl/ListDraw.h"
#include "platform/Handles.h"

#include <cstddef>

void CListColours::Load()
{
    window = ::GetSysColor(COLOR_WINDOW);
    headerFace = ::GetSysColor(COLOR_BTNFACE);
    headerLight = ::GetSysColor(COLOR_BTNHIGHLIGHT);
    headerShadow = ::GetSysColor(COLOR_BTNSHADOW);
    headerText = ::GetSysColor(COLOR_WINDOWTEXT);
    headerPressed = 0xB48C82;
    highlight = ::GetSysColor(COLOR_HIGHLIGHT);
    highlightText = ::GetSysColor(COLOR_HIGHLIGHTTEXT);
    cellText = ::GetSysColor(COLOR_WINDOWTEXT);
    selectionFrameFocused[0] = 0xF5C8AA;
    selectionFrameFocused[1] = 0xFAFAE6;
    selectionFillFocused[0] = 0xFAF0D2;
    selectionFillFocused[1] = 0xFAD7B9;
    selectionFrameUnfocused[0] = 0xDCDCDC;
    selectionFrameUnfocused[1] = 0xF5F5F5;
    selectionFillUnfocused[0] = 0xFAFAFA;
    selectionFillUnfocused[1] = 0xEBEBEB;
    focusCellFill[0] = 0xF5F5EB;
    focusCellFill[1] = 0xF5EBE1;
    progressFill[0] = 0xAAF0AA;
    progressFill[1] = 0x32D22D;
    focusCellNoTheme = 0xD2BEB4;
    link = 0xC80000;
}

void DrawListGradient(HDC dc, const RECT& rect, COLORREF top, COLORREF bottom)
{
    TRIVERTEX vertices[2] = {
        {rect.left, rect.top, static_cast<COLOR16>(GetRValue(top) << 8), static_cast<COLOR16>(GetGValue(top) << 8),
         static_cast<COLOR16>(GetBValue(top) << 8), 0},
        {rect.right, rect.bottom, static_cast<COLOR16>(GetRValue(bottom) << 8),
         static_cast<COLOR16>(GetGValue(bottom) << 8), static_cast<COLOR16>(GetBValue(bottom) << 8), 0},
    };
    GRADIENT_RECT mesh{0, 1};
    ::GradientFill(dc, vertices, 2, &mesh, 1, GRADIENT_FILL_RECT_V);
}

void RoundListRect(HDC dc, const RECT& rect, COLORREF line, COLORREF fill, int corner)
{
    CGdiObject<HPEN> pen(::CreatePen(PS_SOLID, 1, line));
    CGdiObject<HBRUSH> brush(::CreateSolidBrush(fill));
    CSelectObject selectedPen(dc, pen.Get());
    CSelectObject selectedBrush(dc, brush.Get());
    ::RoundRect(dc, rect.left, rect.top, rect.right, rect.bottom, corner, corner);
}

void DrawListSelectionFrame(HDC dc, const RECT& rect, COLORREF outer, COLORREF inner, COLORREF fill)
{
    RoundListRect(dc, rect, outer, fill, 5);
    RECT in = rect;
    ::InflateRect(&in, -1, -1);
    RoundListRect(dc, in, inner, fill, 2);
}

void FrameListRect(HDC dc, const RECT& rect, COLORREF colour)
{
    CGdiObject<HBRUSH> brush(::CreateSolidBrush(colour));
    ::FrameRect(dc, &rect, brush.Get());
}

void FillListRect(HDC dc, const RECT& rect, COLORREF colour)
{
    COLORREF old = ::SetBkColor(dc, colour);
    ::ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &rect, nullptr, 0, nullptr);
    ::SetBkColor(dc, old);
}

void BlendListRect(HDC dc, const RECT& rect, COLORREF colour, COLORREF frame)
{
    int width = rect.right - rect.left, height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0)
        return;
    CMemoryDc source(::CreateCompatibleDC(dc));
    CGdiObject<HBITMAP> pixel(::CreateCompatibleBitmap(dc, 1, 1));
    if (source && pixel)
    {
        CSelectObject selected(source.Get(), pixel.Get());
        ::SetPixel(source.Get(), 0, 0, colour);
        BLENDFUNCTION blend{AC_SRC_OVER, 0, 75, 0};
        ::GdiAlphaBlend(dc, rect.left, rect.top, width, height, source.Get(), 0, 0, 1, 1, blend);
    }
    FrameListRect(dc, rect, frame);
}

void DrawListRaisedEdge(HDC dc, const RECT& rect, COLORREF light, COLORREF shadow)
{
    RECT line{rect.left, rect.top, rect.right, rect.top + 1};
    FillListRect(dc, line, light);
    line = RECT{rect.left, rect.top, rect.left + 1, rect.bottom};
    FillListRect(dc, line, light);
    line = RECT{rect.left, rect.bottom - 1, rect.right, rect.bottom};
    FillListRect(dc, line, shadow);
    line = RECT{rect.right - 1, rect.top, rect.right, rect.bottom};
    FillListRect(dc, line, shadow);
}

bool ListSupportsVisualStyles()
{
    static const bool supported = [] {
        HMODULE library = ::LoadLibraryW(L"uxtheme.dll");
        if (!library)
            return false;
        ::FreeLibrary(library);
        return true;
    }();
    return supported;
}

BYTE GetThreadCharset()
{
    UINT codePage = 0;
    CHARSETINFO info{};
    if (::GetLocaleInfoW(::GetThreadLocale(), LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                         reinterpret_cast<LPWSTR>(&codePage), sizeof(codePage) / sizeof(wchar_t)) &&
        ::TranslateCharsetInfo(reinterpret_cast<DWORD*>(static_cast<UINT_PTR>(codePage)), &info, TCI_SRCCODEPAGE))
        return static_cast<BYTE>(info.ciCharset);
    return DEFAULT_CHARSET;
}

BOOL GetListMessageFont(LOGFONTW& font)
{
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = offsetof(NONCLIENTMETRICSW, iPaddedBorderWidth);
    if (!::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, metrics.cbSize, &metrics, 0))
        return FALSE;
    font = metrics.lfMessageFont;
    font.lfCharSet = GetThreadCharset();
    return TRUE;
}

HFONT CreateListMessageFont()
{
    LOGFONTW font{};
    return GetListMessageFont(font) ? ::CreateFontIndirectW(&font) : nullptr;
}
