#include "ui/listctrl/ListDraw.h"

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

void DrawListSelectionFrame(HDC dc, const RECT& rect, COLORREF outer, COLORREF inner, COLORREF fill)
{
    HPEN outerPen = ::CreatePen(PS_SOLID, 1, outer);
    HPEN innerPen = ::CreatePen(PS_SOLID, 1, inner);
    HBRUSH brush = ::CreateSolidBrush(fill);
    HGDIOBJ oldPen = ::SelectObject(dc, outerPen);
    HGDIOBJ oldBrush = ::SelectObject(dc, brush);
    ::RoundRect(dc, rect.left, rect.top, rect.right, rect.bottom, 5, 5);
    ::SelectObject(dc, innerPen);
    ::RoundRect(dc, rect.left + 1, rect.top + 1, rect.right - 1, rect.bottom - 1, 2, 2);
    ::SelectObject(dc, oldPen);
    ::SelectObject(dc, oldBrush);
    ::DeleteObject(outerPen);
    ::DeleteObject(innerPen);
    ::DeleteObject(brush);
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
    HDC source = ::CreateCompatibleDC(dc);
    HBITMAP pixel = ::CreateCompatibleBitmap(dc, 1, 1);
    if (source && pixel) {
        HGDIOBJ old = ::SelectObject(source, pixel);
        ::SetPixel(source, 0, 0, colour);
        BLENDFUNCTION blend{AC_SRC_OVER, 0, 75, 0};
        ::GdiAlphaBlend(dc, rect.left, rect.top, width, height, source, 0, 0, 1, 1, blend);
        ::SelectObject(source, old);
    }
    if (pixel)
        ::DeleteObject(pixel);
    if (source)
        ::DeleteDC(source);
    HBRUSH brush = ::CreateSolidBrush(frame);
    ::FrameRect(dc, &rect, brush);
    ::DeleteObject(brush);
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
