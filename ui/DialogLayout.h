// A resizable dialog's control layout, as WTL's dialog-resize map keeps it:
// each control moves and grows with the window by its rule, and the window
// does not shrink below its first size.
#pragma once
#include <windows.h>

#include <vector>

class CDialogLayout
{
public:
    // What a control does when the window grows by (dx, dy): move right or
    // down by it, grow wider or taller by it. A control that keeps itself in
    // place (a status bar) is only told the window's size changed.
    struct Rule
    {
        int id;
        BYTE moveX, moveY, sizeX, sizeY;
        BYTE keepsItself;
    };

    // Takes the controls' places now as the first layout; the window's
    // current size becomes its minimum tracking size.
    void Init(HWND dialog, const Rule* rules, size_t count);
    // The minimum tracking size, false before Init.
    bool GetMinTrackSize(POINT& size) const;
    // Places the controls for a client area of width x height (WM_SIZE);
    // false before Init.
    bool Apply(int width, int height);

private:
    struct Anchor
    {
        Rule rule;
        RECT rect; // the control's rectangle at Init, in client coordinates
    };

    HWND m_dialog = nullptr;
    std::vector<Anchor> m_anchors;
    SIZE m_initialClient = {};
    SIZE m_minTrack = {};
};
