// Two red arrows around a gap: they mark where a dragged header column
// would land.
#pragma once
#include "platform/WindowImpl.h"
#include "platform/Handles.h"

class CDropArrows : public CWindowImpl<CDropArrows, CWindow, CWinTraits<WS_POPUP | WS_DISABLED, WS_EX_TOOLWINDOW>>
{
public:
    DECLARE_WND_CLASS(L"KestrupDropArrows")

    ~CDropArrows() override;

    // A window of length gap + 20 (12 across) owned by owner.
    BOOL Create(HWND owner, int gap, BOOL vertical);
    // Places the window around a screen point (vertical: the point sits
    // 7 pixels from the left edge, half the length from the top), without
    // activating it or changing its size or z-order, and shows it.
    BOOL Show(POINT screenPoint);
    BOOL Hide();

    int GetLength() const { return m_length; }

    BEGIN_MSG_MAP(CDropArrows)
    MESSAGE_HANDLER(WM_ERASEBKGND, OnEraseBackground)
    MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
    END_MSG_MAP()

private:
    LRESULT OnEraseBackground(UINT, WPARAM wParam, LPARAM, BOOL&);
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL& handled);

    CGdiObject<HBRUSH> m_brush;
    BOOL m_vertical = TRUE;
    int m_length = 0;
};
