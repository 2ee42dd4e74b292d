// A thin wrapper of a window handle: the calls the windows of this program
// make on themselves and on their controls, nothing more.
#pragma once
#include <windows.h>
#include <string>

class CWindow
{
public:
    HWND m_hWnd = nullptr;

    CWindow(HWND hWnd = nullptr) : m_hWnd(hWnd) {}
    CWindow& operator=(HWND hWnd)
    {
        m_hWnd = hWnd;
        return *this;
    }
    operator HWND() const { return m_hWnd; }

    void Attach(HWND hWnd) { m_hWnd = hWnd; }
    HWND Detach()
    {
        HWND hWnd = m_hWnd;
        m_hWnd = nullptr;
        return hWnd;
    }

    HWND Create(LPCWSTR className, HWND parent, const RECT& rect, LPCWSTR name, DWORD style, DWORD exStyle = 0,
                UINT_PTR id = 0, void* createParam = nullptr)
    {
        m_hWnd = ::CreateWindowExW(exStyle, className, name, style, rect.left, rect.top, rect.right - rect.left,
                                   rect.bottom - rect.top, parent, reinterpret_cast<HMENU>(id),
                                   ::GetModuleHandleW(nullptr), createParam);
        return m_hWnd;
    }
    BOOL DestroyWindow()
    {
        if (!::DestroyWindow(m_hWnd))
            return FALSE;
        m_hWnd = nullptr;
        return TRUE;
    }
    BOOL IsWindow() const { return ::IsWindow(m_hWnd); }

    LRESULT SendMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) const
    {
        return ::SendMessageW(m_hWnd, msg, wParam, lParam);
    }
    BOOL PostMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) const
    {
        return ::PostMessageW(m_hWnd, msg, wParam, lParam);
    }

    DWORD GetStyle() const { return static_cast<DWORD>(::GetWindowLongPtrW(m_hWnd, GWL_STYLE)); }
    DWORD GetExStyle() const { return static_cast<DWORD>(::GetWindowLongPtrW(m_hWnd, GWL_EXSTYLE)); }
    // Changes the style bits; with swpFlags the frame is told of the change.
    // False when nothing had to change.
    BOOL ModifyStyle(DWORD remove, DWORD add, UINT swpFlags = 0)
    {
        return ModifyLong(GWL_STYLE, remove, add, swpFlags);
    }
    BOOL ModifyStyleEx(DWORD remove, DWORD add, UINT swpFlags = 0)
    {
        return ModifyLong(GWL_EXSTYLE, remove, add, swpFlags);
    }

    HWND GetParent() const { return ::GetParent(m_hWnd); }
    HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
    int GetDlgCtrlID() const { return ::GetDlgCtrlID(m_hWnd); }

    BOOL GetClientRect(RECT* rect) const { return ::GetClientRect(m_hWnd, rect); }
    BOOL GetWindowRect(RECT* rect) const { return ::GetWindowRect(m_hWnd, rect); }
    BOOL ClientToScreen(POINT* point) const { return ::ClientToScreen(m_hWnd, point); }
    BOOL ClientToScreen(RECT* rect) const
    {
        return ::ClientToScreen(m_hWnd, reinterpret_cast<POINT*>(&rect->left)) &&
               ::ClientToScreen(m_hWnd, reinterpret_cast<POINT*>(&rect->right));
    }
    BOOL ScreenToClient(POINT* point) const { return ::ScreenToClient(m_hWnd, point); }
    BOOL SetWindowPos(HWND after, int x, int y, int cx, int cy, UINT flags)
    {
        return ::SetWindowPos(m_hWnd, after, x, y, cx, cy, flags);
    }
    BOOL SetWindowPos(HWND after, const RECT& rect, UINT flags)
    {
        return ::SetWindowPos(m_hWnd, after, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
                              flags);
    }
    BOOL MoveWindow(const RECT& rect, BOOL repaint = TRUE)
    {
        return ::MoveWindow(m_hWnd, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, repaint);
    }
    BOOL ShowWindow(int command) { return ::ShowWindow(m_hWnd, command); }
    BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
    BOOL EnableWindow(BOOL enable = TRUE) { return ::EnableWindow(m_hWnd, enable); }
    BOOL CenterWindow(HWND center = nullptr);

    BOOL Invalidate(BOOL erase = TRUE) { return ::InvalidateRect(m_hWnd, nullptr, erase); }
    BOOL InvalidateRect(const RECT* rect, BOOL erase = TRUE) { return ::InvalidateRect(m_hWnd, rect, erase); }
    BOOL UpdateWindow() { return ::UpdateWindow(m_hWnd); }
    BOOL RedrawWindow(const RECT* rect = nullptr, HRGN region = nullptr,
                      UINT flags = RDW_INVALIDATE | RDW_UPDATENOW | RDW_ERASE)
    {
        return ::RedrawWindow(m_hWnd, rect, region, flags);
    }
    HDC GetDC() { return ::GetDC(m_hWnd); }
    int ReleaseDC(HDC dc) { return ::ReleaseDC(m_hWnd, dc); }

    HWND SetFocus() { return ::SetFocus(m_hWnd); }
    HWND SetCapture() { return ::SetCapture(m_hWnd); }
    UINT_PTR SetTimer(UINT_PTR id, UINT elapse) { return ::SetTimer(m_hWnd, id, elapse, nullptr); }
    BOOL KillTimer(UINT_PTR id) { return ::KillTimer(m_hWnd, id); }

    BOOL SetWindowText(LPCWSTR text) { return ::SetWindowTextW(m_hWnd, text); }
    std::wstring GetWindowText() const;
    HFONT GetFont() const { return reinterpret_cast<HFONT>(SendMessage(WM_GETFONT)); }
    void SetFont(HFONT font, BOOL redraw = TRUE) { SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(font), redraw); }

    BOOL GetScrollInfo(int bar, SCROLLINFO* info) const { return ::GetScrollInfo(m_hWnd, bar, info); }
    int SetScrollInfo(int bar, const SCROLLINFO* info, BOOL redraw = TRUE)
    {
        return ::SetScrollInfo(m_hWnd, bar, info, redraw);
    }
    int GetScrollPos(int bar) const { return ::GetScrollPos(m_hWnd, bar); }
    int SetScrollPos(int bar, int position, BOOL redraw = TRUE)
    {
        return ::SetScrollPos(m_hWnd, bar, position, redraw);
    }

private:
    BOOL ModifyLong(int index, DWORD remove, DWORD add, UINT swpFlags);
};
