#include "ui/StatusBar.h"

#include "platform/Handles.h"

#include <climits>

namespace
{

// Blank space on each side of a pane's text.
constexpr int kPaneMargin = 3;

std::vector<int> GetEdges(HWND bar, size_t count)
{
    std::vector<int> edges(count);
    CStatusBarCtrl(bar).GetParts(static_cast<int>(count), edges.data());
    return edges;
}

size_t DefaultPaneIndex(const std::vector<int>& ids)
{
    size_t i = 0;
    while (i < ids.size() && ids[i] != ID_DEFAULT_PANE)
        ++i;
    return i;
}

std::wstring LoadPaneString(int id)
{
    const wchar_t* text = nullptr;
    const int length =
        ::LoadStringW(::GetModuleHandleW(nullptr), static_cast<UINT>(id), reinterpret_cast<LPWSTR>(&text), 0);
    return length > 0 ? std::wstring(text, static_cast<size_t>(length)) : std::wstring();
}

} // namespace

BOOL SetStatusPanes(HWND bar, const std::vector<int>& ids, bool setText)
{
    CStatusBarCtrl status(bar);
    int borders[3] = {};
    status.GetBorders(borders);

    std::vector<std::wstring> texts(ids.size());
    std::vector<int> edges(ids.size());
    {
        const CClientDC dc(bar);
        const CSelectObject font(dc.Get(), status.GetFont() ? status.GetFont() : ::GetStockObject(DEFAULT_GUI_FONT));
        int left = borders[0];
        for (size_t i = 0; i < ids.size(); ++i)
        {
            if (ids[i] == ID_DEFAULT_PANE)
            {
                // Wide for now; the layout gives it what the others leave.
                edges[i] = INT_MAX / 2;
            }
            else
            {
                texts[i] = LoadPaneString(ids[i]);
                SIZE size{};
                ::GetTextExtentPoint32W(dc.Get(), texts[i].c_str(), static_cast<int>(texts[i].size()), &size);
                edges[i] = left + size.cx + borders[2] + 2 * kPaneMargin;
            }
            left = edges[i];
        }
    }

    if (!status.SetParts(static_cast<int>(edges.size()), edges.data()))
        return FALSE;
    if (setText)
        for (size_t i = 0; i < ids.size(); ++i)
            if (ids[i] != ID_DEFAULT_PANE)
                status.SetText(static_cast<int>(i), texts[i].c_str());
    return TRUE;
}

void LayoutStatusPanes(HWND bar, const std::vector<int>& ids)
{
    if (ids.empty())
        return;
    std::vector<int> edges = GetEdges(bar, ids.size());
    RECT client{};
    ::GetClientRect(bar, &client);
    int offset = client.right;
    if (CWindow(bar).GetStyle() & SBARS_SIZEGRIP)
        offset -= ::GetSystemMetrics(SM_CXVSCROLL) + 1;
    offset -= edges.back();
    for (size_t i = DefaultPaneIndex(ids); i < edges.size(); ++i)
        edges[i] += offset;
    CStatusBarCtrl(bar).SetParts(static_cast<int>(edges.size()), edges.data());
}

BOOL SetStatusPaneWidth(HWND bar, const std::vector<int>& ids, int index, int width)
{
    if (index < 0 || static_cast<size_t>(index) >= ids.size())
        return FALSE;
    std::vector<int> edges = GetEdges(bar, ids.size());
    const size_t at = static_cast<size_t>(index);
    const int offset = width - (edges[at] - (at == 0 ? 0 : edges[at - 1]));
    const size_t fill = DefaultPaneIndex(ids);
    if (at < fill)
    {
        for (size_t i = at; i < fill; ++i)
            edges[i] += offset;
    }
    else
    {
        for (size_t i = fill; i < at; ++i)
            edges[i] -= offset;
    }
    return CStatusBarCtrl(bar).SetParts(static_cast<int>(edges.size()), edges.data());
}

HBRUSH PaintPaneBackground(HWND window, HDC dc)
{
    const HWND bar = ::GetParent(window);
    RECT client{};
    POINT origin{};
    ::GetClientRect(window, &client);
    ::MapWindowPoints(window, bar, &origin, 1);
    const int saved = ::SaveDC(dc);
    ::IntersectClipRect(dc, client.left, client.top, client.right, client.bottom);
    ::OffsetViewportOrgEx(dc, -origin.x, -origin.y, nullptr);
    // A status bar paints into the DC that WM_PAINT brings (not every one
    // answers WM_PRINTCLIENT).
    ::SendMessageW(bar, WM_PAINT, reinterpret_cast<WPARAM>(dc), 0);
    ::RestoreDC(dc, saved);
    ::SetBkMode(dc, TRANSPARENT);
    return static_cast<HBRUSH>(::GetStockObject(NULL_BRUSH));
}

CPaneWindows::CPaneWindows()
{
    for (Slot& slot : m_slots)
        slot = {nullptr, 0xFFFF, 0};
}

CPaneWindows::~CPaneWindows()
{
    for (Slot& slot : m_slots)
        if (slot.window && slot.owned && ::IsWindow(slot.window))
            ::DestroyWindow(slot.window);
}

BOOL CPaneWindows::AddPaneWindow(HWND bar, int paneCount, int pane, HWND window, BOOL owned)
{
    if (!::IsWindow(window) || !RemovePaneWindow(paneCount, pane))
        return FALSE;
    Slot* free = nullptr;
    for (Slot& slot : m_slots)
        if (!slot.window)
        {
            free = &slot;
            break;
        }
    if (!free)
        return FALSE;
    RECT rect{};
    CStatusBarCtrl(bar).GetRect(pane, &rect);
    ::InflateRect(&rect, -1, -1);
    CWindow(window).MoveWindow(rect, TRUE);
    *free = {window, static_cast<USHORT>(pane), static_cast<BYTE>(owned ? 1 : 0)};
    LayoutPaneWindows(bar);
    return TRUE;
}

BOOL CPaneWindows::RemovePaneWindow(int paneCount, int pane)
{
    if (pane < 0 || pane >= paneCount)
        return FALSE;
    for (Slot& slot : m_slots)
    {
        if (!slot.window || slot.pane != pane)
            continue;
        if (slot.owned && ::IsWindow(slot.window))
            ::DestroyWindow(slot.window);
        else
            ::ShowWindow(slot.window, SW_HIDE);
        slot = {nullptr, 0xFFFF, 0};
        break;
    }
    return TRUE;
}

BOOL CPaneWindows::LayoutPaneWindows(HWND bar)
{
    for (const Slot& slot : m_slots)
    {
        if (!slot.window)
            continue;
        RECT rect{};
        CStatusBarCtrl(bar).GetRect(slot.pane, &rect);
        ::InflateRect(&rect, -1, -1);
        CWindow(slot.window).MoveWindow(rect, TRUE);
        ::InvalidateRect(slot.window, nullptr, TRUE);
    }
    return TRUE;
}

void CPaneWindows::ShowPaneWindows(int command)
{
    for (const Slot& slot : m_slots)
        if (slot.window)
            ::ShowWindow(slot.window, command);
}

HWND CPaneWindows::GetPaneWindow(int pane) const
{
    for (const Slot& slot : m_slots)
        if (slot.window && slot.pane == pane)
            return slot.window;
    return nullptr;
}
