#include "ui/listctrl/DropArrows.h"
#include <algorithm>

CDropArrows::~CDropArrows()
{
    if (m_hWnd)
        DestroyWindow();
}

BOOL CDropArrows::Create(HWND owner, int gap, BOOL vertical)
{
    if (m_hWnd)
        DestroyWindow();
    m_brush.Reset(::CreateSolidBrush(RGB(255, 0, 0)));
    if (!m_brush)
        return FALSE;
    m_vertical = vertical;
    m_length = gap + 20;
    const int L = m_length;
    RECT rect = vertical ? RECT{0, 0, 12, L} : RECT{0, 0, L, 12};
    if (!CWindowImpl::Create(owner, rect))
        return FALSE;

    POINT first[7], second[7];
    if (vertical)
    {
        const POINT down[7] = {{8, 0}, {8, 4}, {11, 4}, {6, 9}, {1, 4}, {4, 4}, {4, 0}};
        const POINT up[7] = {{4, L}, {4, L - 4}, {0, L - 4}, {6, L - 10}, {12, L - 4}, {8, L - 4}, {8, L}};
        std::copy(down, down + 7, first);
        std::copy(up, up + 7, second);
    }
    else
    {
        const POINT right[7] = {{0, 9}, {4, 9}, {4, 12}, {10, 6}, {4, 0}, {4, 4}, {0, 4}};
        const POINT left[7] = {{L, 4}, {L - 4, 4}, {L - 4, 0}, {L - 10, 6}, {L - 4, 12}, {L - 4, 9}, {L, 9}};
        std::copy(right, right + 7, first);
        std::copy(left, left + 7, second);
    }
    CGdiObject<HRGN> a(::CreatePolygonRgn(first, 7, ALTERNATE));
    CGdiObject<HRGN> b(::CreatePolygonRgn(second, 7, ALTERNATE));
    if (a && b && ::CombineRgn(a.Get(), a.Get(), b.Get(), RGN_OR) != ERROR)
    {
        // The window owns the region from here on.
        if (::SetWindowRgn(m_hWnd, a.Get(), FALSE))
            a.Detach();
    }
    return TRUE;
}

BOOL CDropArrows::Show(POINT point)
{
    if (!m_hWnd)
        return FALSE;
    int half = m_length / 2;
    int x = m_vertical ? point.x - 7 : point.x - half;
    int y = m_vertical ? point.y - half : point.y - 5;
    return SetWindowPos(nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_SHOWWINDOW);
}

BOOL CDropArrows::Hide()
{
    if (!m_hWnd)
        return FALSE;
    ShowWindow(SW_HIDE);
    return TRUE;
}

LRESULT CDropArrows::OnEraseBackground(UINT, WPARAM wParam, LPARAM, BOOL&)
{
    RECT rect = m_vertical ? RECT{0, 0, 12, m_length} : RECT{0, 0, m_length, 12};
    ::FillRect(reinterpret_cast<HDC>(wParam), &rect, m_brush.Get());
    return 1;
}

LRESULT CDropArrows::OnDestroy(UINT, WPARAM, LPARAM, BOOL& handled)
{
    m_brush.Reset();
    handled = FALSE;
    return 0;
}
