// Colours and drawing helpers of the owner-drawn list that do not depend
// on its row type.
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
    COLORREF selectionFrameFocused[2];   // outer, inner
    COLORREF selectionFillFocused[2];    // top, bottom
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
