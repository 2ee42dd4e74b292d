// Colours, fonts and drawing helpers of the owner-drawn list and its
// editors.
#pragma once
#include <windows.h>

struct CListColours
{
    COLORREF window;
    COLORREF headerFace;
    COLORREF headerLight;
    COLORREF headerShadow;
    COLORREF headerText;
    COLORREF headerPressed;
    COLORREF highlight;
    COLORREF highlightText;
    COLORREF cellText;
    COLORREF selectionFrameFocused[2]; // outer, inner
    COLORREF selectionFillFocused[2];  // top, bottom
    COLORREF selectionFrameUnfocused[2];
    COLORREF selectionFillUnfocused[2];
    COLORREF focusCellFill[2];
    COLORREF progressFill[2];
    COLORREF focusCellNoTheme;
    COLORREF link;

    // The system colours as they are now, and the list's fixed ones.
    void Load();
};

// A vertical gradient from top to bottom over rect.
void DrawListGradient(HDC dc, const RECT& rect, COLORREF top, COLORREF bottom);
// A rounded rectangle: a one-pixel line round a fill, corner ellipse corner x corner.
void RoundListRect(HDC dc, const RECT& rect, COLORREF line, COLORREF fill, int corner);
// A one-pixel frame.
void FrameListRect(HDC dc, const RECT& rect, COLORREF colour);
// The double rounded frame: outer line with corner 5, inner line (1 pixel
// in) with corner 2, both over a brush of the fill colour.
void DrawListSelectionFrame(HDC dc, const RECT& rect, COLORREF outer, COLORREF inner, COLORREF fill);
// Blends colour over rect (75/255 of it over 180/255 of what is there) and
// frames it with a one-pixel line of frame.
void BlendListRect(HDC dc, const RECT& rect, COLORREF colour, COLORREF frame);
// Fills rect with a solid colour.
void FillListRect(HDC dc, const RECT& rect, COLORREF colour);
// A one-pixel raised edge: light top and left lines, shadow bottom and right.
void DrawListRaisedEdge(HDC dc, const RECT& rect, COLORREF light, COLORREF shadow);

// True when the theme library can be loaded; asked once per process.
bool ListSupportsVisualStyles();

// The character set of the thread's locale (its ANSI code page), the one
// in which the resources that the thread loads are written.
BYTE GetThreadCharset();
// The message font of the non-client metrics in the thread's character
// set: the system may hand the message font out in a Western set, whose
// font has no glyphs for the texts of an East Asian resource language.
BOOL GetListMessageFont(LOGFONTW& font);
// A font made from GetListMessageFont; null when it cannot be made.
HFONT CreateListMessageFont();
