#include "ui/MenuButton.h"

namespace WTLEX
{

namespace
{

// Texts of the button are read up to this many characters.
constexpr int kTextChars = 260;

void RedrawNow(HWND button)
{
    ::RedrawWindow(button, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
}

} // namespace

int MenuArrowWidth()
{
    return ::GetSystemMetrics(SM_CXVSCROLL);
}

POINT ClampMenuPoint(POINT screen)
{
    if (::MonitorFromPoint(screen, MONITOR_DEFAULTTONULL))
        return screen;
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    HMONITOR nearest = ::MonitorFromPoint(screen, MONITOR_DEFAULTTONEAREST);
    if (!nearest || !::GetMonitorInfoW(nearest, &info))
        return screen;
    if (screen.x < info.rcWork.left)
        screen.x = info.rcWork.left;
    else if (screen.x > info.rcWork.right)
        screen.x = info.rcWork.right;
    return screen;
}

UINT DropButtonMenu(HWND button, UINT menuId, POINT client, bool& menuDown)
{
    menuDown = true;
    RedrawNow(button);

    UINT command = 0;
    HMENU menu = ::LoadMenuW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(menuId));
    HMENU popup = menu ? ::GetSubMenu(menu, 0) : nullptr;
    if (popup)
    {
        POINT screen = client;
        ::ClientToScreen(button, &screen);
        wchar_t text[kTextChars];
        if (::GetWindowTextW(button, text, kTextChars) > 0)
        {
            ::InsertMenuW(popup, 0, MF_BYPOSITION | MF_STRING, static_cast<UINT_PTR>(::GetDlgCtrlID(button)), text);
            ::SetMenuDefaultItem(popup, 0, TRUE);
        }
        screen = ClampMenuPoint(screen);
        // The command is taken back and posted as the menu itself would post
        // it, so that the caller learns it too.
        HWND parent = ::GetParent(button);
        command =
            static_cast<UINT>(::TrackPopupMenu(popup, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_LEFTBUTTON | TPM_RETURNCMD,
                                               screen.x, screen.y, 0, parent, nullptr));
        if (command)
            ::PostMessageW(parent, WM_COMMAND, MAKEWPARAM(command, 0), 0);
        // The click that closed the menu must not press the button.
        MSG msg;
        while (::PeekMessageW(&msg, button, WM_LBUTTONDOWN, WM_LBUTTONDOWN, PM_REMOVE))
        {
        }
    }
    menuDown = false;
    RedrawNow(button);
    if (menu)
        ::DestroyMenu(menu);
    return command;
}

void DrawMenuButton(HWND button, const DRAWITEMSTRUCT& item, bool isDefault, bool menuDown)
{
    HDC dc = item.hDC;
    const bool pushed = (item.itemState & ODS_SELECTED) != 0;
    const bool disabled = (item.itemState & ODS_DISABLED) != 0;
    const bool focused = (item.itemState & ODS_FOCUS) != 0;
    const bool flatStyle = (CWindow(button).GetStyle() & BS_FLAT) != 0;
    const UINT flat = flatStyle ? DFCS_FLAT | DFCS_MONO : 0;
    const int arrowWidth = MenuArrowWidth();

    RECT rect = item.rcItem;
    if (focused || isDefault)
    {
        ::FrameRect(dc, &rect, ::GetSysColorBrush(COLOR_BTNTEXT));
        ::InflateRect(&rect, -1, -1);
    }
    ::FillRect(dc, &rect, ::GetSysColorBrush(COLOR_BTNFACE));
    RECT face = rect;
    ::DrawFrameControl(dc, &face, DFC_BUTTON, DFCS_BUTTONPUSH | (pushed ? DFCS_PUSHED : 0) | flat);
    RECT arrow = rect;
    arrow.left = rect.right - arrowWidth;
    ::DrawFrameControl(dc, &arrow, DFC_SCROLL,
                       DFCS_SCROLLCOMBOBOX | (disabled ? DFCS_INACTIVE : 0) | (pushed || menuDown ? DFCS_PUSHED : 0) |
                           flat);

    wchar_t text[kTextChars];
    const int length = ::GetWindowTextW(button, text, kTextChars);
    if (length > 0)
    {
        SIZE size{};
        ::GetTextExtentPoint32W(dc, text, length, &size);
        int x = (rect.left + rect.right) / 2 - arrowWidth / 2 - size.cx / 2;
        int y = (rect.top + rect.bottom) / 2 - size.cy / 2;
        if (pushed)
        {
            ++x;
            ++y;
        }
        const int oldMode = ::SetBkMode(dc, TRANSPARENT);
        const COLORREF oldColour = ::SetTextColor(dc, ::GetSysColor(COLOR_BTNTEXT));
        ::DrawStateW(dc, nullptr, nullptr, reinterpret_cast<LPARAM>(text), static_cast<WPARAM>(length), x, y, size.cx,
                     size.cy, DST_PREFIXTEXT | (disabled ? DSS_DISABLED : 0));
        ::SetTextColor(dc, oldColour);
        ::SetBkMode(dc, oldMode);
    }

    if (focused && !menuDown)
    {
        RECT focus = rect;
        focus.right -= arrowWidth;
        const int inset = flatStyle ? 2 : 4;
        ::InflateRect(&focus, -inset, -inset);
        ::DrawFocusRect(dc, &focus);
    }
}

} // namespace WTLEX
