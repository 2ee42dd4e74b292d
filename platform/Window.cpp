#include "platform/WindowImpl.h"
#include <cwchar>

namespace
{

// The property under which a window keeps its object.
const wchar_t kObjectProperty[] = L"Kestrup.WindowObject";

thread_local CWindowImplRoot* t_creatingObject = nullptr;

} // namespace

BOOL CWindow::ModifyLong(int index, DWORD remove, DWORD add, UINT swpFlags)
{
    DWORD old = static_cast<DWORD>(::GetWindowLongPtrW(m_hWnd, index));
    DWORD changed = (old & ~remove) | add;
    if (changed == old)
        return FALSE;
    ::SetWindowLongPtrW(m_hWnd, index, static_cast<LONG_PTR>(changed));
    if (swpFlags)
        ::SetWindowPos(m_hWnd, nullptr, 0, 0, 0, 0,
                       SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | swpFlags);
    return TRUE;
}

std::wstring CWindow::GetWindowText() const
{
    int length = ::GetWindowTextLengthW(m_hWnd);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    int copied = ::GetWindowTextW(m_hWnd, &text[0], length + 1);
    text.resize(static_cast<size_t>(copied > 0 ? copied : 0));
    return text;
}

BOOL CWindow::CenterWindow(HWND center)
{
    DWORD style = GetStyle();
    HWND parent = (style & WS_CHILD) ? ::GetParent(m_hWnd) : nullptr;
    if (!center)
        center = parent ? parent : ::GetWindow(m_hWnd, GW_OWNER);
    // The area to centre on, in the coordinates the window is placed in.
    RECT area{};
    if (parent)
    {
        if (center == parent)
        {
            ::GetClientRect(parent, &area);
        }
        else
        {
            ::GetWindowRect(center, &area);
            ::MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&area), 2);
        }
    }
    else if (center && ::IsWindowVisible(center) && !::IsIconic(center))
    {
        ::GetWindowRect(center, &area);
    }
    else
    {
        MONITORINFO info{sizeof(info)};
        if (!::GetMonitorInfoW(::MonitorFromWindow(m_hWnd, MONITOR_DEFAULTTONEAREST), &info))
            return FALSE;
        area = info.rcWork;
    }
    RECT own{};
    GetWindowRect(&own);
    int x = (area.left + area.right) / 2 - (own.right - own.left) / 2;
    int y = (area.top + area.bottom) / 2 - (own.bottom - own.top) / 2;
    return ::SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

ATOM CWndClassInfo::Register(WNDPROC startProc, WNDPROC* defaultProc)
{
    if (atom)
    {
        if (baseProc)
            *defaultProc = baseProc;
        return atom;
    }
    HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSEXW wc{sizeof(wc)};
    if (baseClassName)
    {
        if (!::GetClassInfoExW(nullptr, baseClassName, &wc) && !::GetClassInfoExW(instance, baseClassName, &wc))
            return 0;
        baseProc = wc.lpfnWndProc;
        *defaultProc = baseProc;
    }
    else
    {
        wc.style = style;
        wc.hCursor = cursor ? cursor : ::LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = background;
    }
    if (!className)
    {
        std::swprintf(generatedName, sizeof(generatedName) / sizeof(generatedName[0]), L"Kestrup:%p",
                      static_cast<void*>(this));
        className = generatedName;
    }
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = startProc;
    wc.hInstance = instance;
    wc.lpszClassName = className;
    wc.lpszMenuName = nullptr;
    atom = ::RegisterClassExW(&wc);
    if (!atom && ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS)
    {
        WNDCLASSEXW existing{sizeof(existing)};
        atom = static_cast<ATOM>(::GetClassInfoExW(instance, className, &existing));
    }
    return atom;
}

BOOL RegisterPlainWindowClass(LPCWSTR className, UINT style, HCURSOR cursor, HBRUSH background)
{
    WNDCLASSEXW wc{sizeof(wc)};
    HINSTANCE instance = ::GetModuleHandleW(nullptr);
    if (::GetClassInfoExW(instance, className, &wc))
        return TRUE;
    wc = WNDCLASSEXW{sizeof(wc)};
    wc.style = style;
    wc.lpfnWndProc = ::DefWindowProcW;
    wc.hInstance = instance;
    wc.hCursor = cursor ? cursor : ::LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = background;
    wc.lpszClassName = className;
    return ::RegisterClassExW(&wc) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

CWindowImplRoot* CWindowImplRoot::FromHandle(HWND hWnd)
{
    return static_cast<CWindowImplRoot*>(::GetPropW(hWnd, kObjectProperty));
}

void CWindowImplRoot::SetCreatingObject(CWindowImplRoot* object)
{
    t_creatingObject = object;
}

BOOL CWindowImplRoot::Attach(HWND hWnd)
{
    if (!::SetPropW(hWnd, kObjectProperty, this))
        return FALSE;
    HandleRef() = hWnd;
    m_destroyed = false;
    return TRUE;
}

void CWindowImplRoot::Detach(HWND hWnd)
{
    ::RemovePropW(hWnd, kObjectProperty);
    HandleRef() = nullptr;
}

LRESULT CALLBACK CWindowImplRoot::StartWindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    CWindowImplRoot* object = t_creatingObject;
    t_creatingObject = nullptr;
    if (!object || !object->Attach(hWnd))
        return ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
    WNDPROC proc = object->GetWindowProc();
    ::SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(proc));
    return proc(hWnd, uMsg, wParam, lParam);
}

BOOL CWindowImplRoot::RouteMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& result,
                                   bool callDefault)
{
    MSG msg{hWnd, uMsg, wParam, lParam, 0, {0, 0}};
    const MSG* previous = m_currentMsg;
    m_currentMsg = &msg;
    ++m_depth;
    result = 0;
    BOOL handled = ProcessWindowMessage(hWnd, uMsg, wParam, lParam, result, 0);
    if (!handled && callDefault)
        result = ::CallWindowProcW(m_pfnSuperWindowProc, hWnd, uMsg, wParam, lParam);
    if (uMsg == WM_NCDESTROY)
        m_destroyed = true;
    --m_depth;
    m_currentMsg = previous;
    return handled;
}

bool CWindowImplRoot::FinishIfDestroyed(HWND hWnd, WNDPROC ownProc)
{
    // The window is gone once WM_NCDESTROY is through and no other message
    // of this window is still being handled further up the stack.
    if (!m_destroyed || m_depth != 0)
        return false;
    if (ownProc && reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(hWnd, GWLP_WNDPROC)) == ownProc)
        ::SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuperWindowProc));
    m_destroyed = false;
    Detach(hWnd);
    OnFinalMessage(hWnd);
    return true;
}

LRESULT CALLBACK CWindowImplRoot::WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    CWindowImplRoot* object = FromHandle(hWnd);
    if (!object)
        return ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
    LRESULT result = 0;
    object->RouteMessage(hWnd, uMsg, wParam, lParam, result, true);
    object->FinishIfDestroyed(hWnd, object->GetWindowProc());
    return result;
}

LRESULT ReflectNotifications(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
{
    HWND child = nullptr;
    switch (uMsg)
    {
    case WM_COMMAND:
        child = reinterpret_cast<HWND>(lParam);
        break;
    case WM_NOTIFY:
        child = reinterpret_cast<LPNMHDR>(lParam)->hwndFrom;
        break;
    case WM_PARENTNOTIFY:
        switch (LOWORD(wParam))
        {
        case WM_CREATE:
        case WM_DESTROY:
            child = reinterpret_cast<HWND>(lParam);
            break;
        default:
            child = ::GetDlgItem(hWnd, HIWORD(wParam));
            break;
        }
        break;
    case WM_DRAWITEM:
        if (wParam)
            child = reinterpret_cast<LPDRAWITEMSTRUCT>(lParam)->hwndItem;
        break;
    case WM_MEASUREITEM:
        if (wParam)
            child = ::GetDlgItem(hWnd, static_cast<int>(reinterpret_cast<LPMEASUREITEMSTRUCT>(lParam)->CtlID));
        break;
    case WM_COMPAREITEM:
        if (wParam)
            child = reinterpret_cast<LPCOMPAREITEMSTRUCT>(lParam)->hwndItem;
        break;
    case WM_DELETEITEM:
        if (wParam)
            child = reinterpret_cast<LPDELETEITEMSTRUCT>(lParam)->hwndItem;
        break;
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_HSCROLL:
    case WM_VSCROLL:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
        child = reinterpret_cast<HWND>(lParam);
        break;
    default:
        break;
    }
    if (!child || child == hWnd)
    {
        bHandled = FALSE;
        return 1;
    }
    return ::SendMessageW(child, OCM__BASE + uMsg, wParam, lParam);
}

BOOL DefaultReflectionHandler(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult)
{
    switch (uMsg)
    {
    case OCM__BASE + WM_COMMAND:
    case OCM__BASE + WM_NOTIFY:
    case OCM__BASE + WM_PARENTNOTIFY:
    case OCM__BASE + WM_DRAWITEM:
    case OCM__BASE + WM_MEASUREITEM:
    case OCM__BASE + WM_COMPAREITEM:
    case OCM__BASE + WM_DELETEITEM:
    case OCM__BASE + WM_VKEYTOITEM:
    case OCM__BASE + WM_CHARTOITEM:
    case OCM__BASE + WM_HSCROLL:
    case OCM__BASE + WM_VSCROLL:
    case OCM__BASE + WM_CTLCOLORBTN:
    case OCM__BASE + WM_CTLCOLORDLG:
    case OCM__BASE + WM_CTLCOLOREDIT:
    case OCM__BASE + WM_CTLCOLORLISTBOX:
    case OCM__BASE + WM_CTLCOLORMSGBOX:
    case OCM__BASE + WM_CTLCOLORSCROLLBAR:
    case OCM__BASE + WM_CTLCOLORSTATIC:
        lResult = ::DefWindowProcW(hWnd, uMsg - OCM__BASE, wParam, lParam);
        return TRUE;
    default:
        return FALSE;
    }
}
