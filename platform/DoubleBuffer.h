// Flicker-free painting: WM_PAINT and WM_PRINTCLIENT draw into a memory
// bitmap through T::DoPaint(HDC) and copy it to the screen with one blit;
// WM_ERASEBKGND erases nothing. Chain it into the window's message map.
#pragma once
#include "platform/Handles.h"
#include "platform/WindowImpl.h"

// Draws paint(dc) into a memory bitmap over target's rectangle and copies
// it there. False when no memory DC or bitmap could be made (nothing drawn).
template <class Paint> BOOL PaintBuffered(HDC target, const RECT& rect, Paint paint)
{
    int width = rect.right - rect.left, height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0)
        return TRUE;
    const CMemoryDc memory(::CreateCompatibleDC(target));
    if (!memory)
        return FALSE;
    const CGdiObject<HBITMAP> bitmap(::CreateCompatibleBitmap(target, width, height));
    if (!bitmap)
        return FALSE;
    const CSelectObject select(memory.Get(), bitmap.Get());
    ::SetViewportOrgEx(memory.Get(), -rect.left, -rect.top, nullptr);
    paint(memory.Get());
    ::SetViewportOrgEx(memory.Get(), 0, 0, nullptr);
    ::BitBlt(target, rect.left, rect.top, width, height, memory.Get(), 0, 0, SRCCOPY);
    return TRUE;
}

template <class T> class CDoubleBufferImpl
{
public:
    BEGIN_MSG_MAP(CDoubleBufferImpl)
    MESSAGE_HANDLER(WM_ERASEBKGND, OnEraseBackground)
    MESSAGE_HANDLER(WM_PAINT, OnPaint)
    MESSAGE_HANDLER(WM_PRINTCLIENT, OnPaint)
    END_MSG_MAP()

    LRESULT OnEraseBackground(UINT, WPARAM, LPARAM, BOOL&) { return 1; }

    LRESULT OnPaint(UINT, WPARAM wParam, LPARAM, BOOL&)
    {
        T* self = static_cast<T*>(this);
        auto paint = [self](HDC dc) { self->DoPaint(dc); };
        if (wParam)
        {
            RECT client{};
            ::GetClientRect(self->m_hWnd, &client);
            PaintBuffered(reinterpret_cast<HDC>(wParam), client, paint);
        }
        else
        {
            PAINTSTRUCT ps{};
            HDC dc = ::BeginPaint(self->m_hWnd, &ps);
            if (dc)
                PaintBuffered(dc, ps.rcPaint, paint);
            ::EndPaint(self->m_hWnd, &ps);
        }
        return 0;
    }
};
