// The list's header: hit tests over its dividers, column resizing, drawing
// the buttons and the drag image, fitting a column to its texts.
#include "ui/listctrl/ListImpl.h"
#include <uxtheme.h>
#include <vssym32.h>
#include <algorithm>

BOOL CListImpl::HitTestDivider(POINT point, int& position, UINT& bits)
{
    bits = 0;
    if (!m_options.showHeader || point.y < 0 || point.y >= GetHeaderHeight())
        return FALSE;
    return HitTestDividers(m_columns, GetScrollPos(SB_HORZ), point.x, position, bits);
}

void CListImpl::OnResizeColumn(int tick)
{
    OnResizeColumn(tick, PointFromLParam(static_cast<LPARAM>(::GetMessagePos())).x);
}

void CListImpl::OnResizeColumn(int tick, int x)
{
    ResetHotCells();
    HideTitleTip();
    CListHeaderState& header = m_header;
    RECT client{};
    GetClientRect(&client);
    const int rightEnd = m_geometry.totalWidth - client.right - 1;
    const int scroll = GetScrollPos(SB_HORZ);
    if (tick == 0)
    {
        const int width = std::max(header.resizeStartWidth + (x - header.resizeStartX), 0);
        if (m_geometry.horzBarShown && scroll >= rightEnd && width < GetColumnWidth(header.resizedColumn))
        {
            if (!header.shrinkTimerRunning)
            {
                header.shrinkStartX = x;
                SetTimer(TIMER_AUTOSCROLL_RESIZE, 20);
                header.shrinkTimerRunning = TRUE;
            }
            return;
        }
        if (!header.shrinkTimerRunning)
            SetColumnWidth(header.resizedColumn, width);
        return;
    }
    if (header.resizing && m_geometry.horzBarShown && x <= header.shrinkStartX)
    {
        if (x >= header.resizeStartX || scroll < rightEnd)
            return;
        const int width = std::max(GetColumnWidth(header.resizedColumn) + (x - header.shrinkStartX), 0);
        header.resizeStartWidth = width;
        SetColumnWidth(header.resizedColumn, width);
        return;
    }
    KillTimer(TIMER_AUTOSCROLL_RESIZE);
    header.resizeStartX = x;
    header.shrinkTimerRunning = FALSE;
}

void CListImpl::BeginResize(int position, int x)
{
    m_header.resizing = TRUE;
    m_header.resizedColumn = position;
    m_header.resizeStartX = x;
    m_header.resizeStartWidth = GetColumnWidth(position);
}

BOOL CListImpl::InvalidateHeader()
{
    if (!m_options.showHeader)
        return TRUE;
    RECT rect{};
    GetClientRect(&rect);
    rect.bottom = GetHeaderHeight();
    return InvalidateRect(&rect, TRUE);
}

void CListImpl::DrawHeader(HDC dc)
{
    RECT clip{};
    if (!m_options.showHeader || ::GetClipBox(dc, &clip) == ERROR || clip.top > GetHeaderHeight())
        return;
    RECT strip{};
    GetClientRect(&strip);
    strip.bottom = GetHeaderHeight();
    const bool themed = Themed();
    if (!themed)
        FillListRect(dc, strip, m_colours.headerFace);

    int x = -GetScrollPos(SB_HORZ);
    for (int position = 0; position < GetColumnCount(); ++position)
    {
        const CListColumn& column = m_columns[position];
        RECT rect{x, strip.top, x + column.width, strip.bottom};
        x += column.width;
        if (rect.right < clip.left)
            continue;
        if (rect.left > clip.right)
            break;
        const bool pressed = position == m_header.pressedColumn;
        const int state = pressed ? HIS_PRESSED : position == m_header.hotColumn ? HIS_HOT : HIS_NORMAL;
        if (themed)
        {
            ::DrawThemeBackground(m_headerTheme.Get(), dc, HP_HEADERITEM, state, &rect, nullptr);
        }
        else
        {
            if (pressed)
                FillListRect(dc, rect, m_colours.headerPressed);
            RECT line{rect.right - 1, rect.top + 4, rect.right, rect.bottom - 4};
            FillListRect(dc, line, m_colours.headerShadow);
            OffsetRect(&line, 1, 0);
            FillListRect(dc, line, m_colours.headerLight);
        }
        DrawHeaderContent(dc, position, rect, themed);
    }
    if (themed)
    {
        if (x < strip.right)
        {
            RECT rest{x, strip.top, strip.right + 2, strip.bottom};
            ::DrawThemeBackground(m_headerTheme.Get(), dc, HP_HEADERITEM, HIS_NORMAL, &rest, nullptr);
        }
    }
    else if (m_geometry.totalWidth > 0)
    {
        DrawListRaisedEdge(dc, strip, m_colours.headerLight, m_colours.headerShadow);
    }
}

HBITMAP CListImpl::MakeHeaderDragImage(int position)
{
    RECT column{};
    if (!GetColumnRect(position, column) || column.right <= column.left || column.bottom <= column.top)
        return nullptr;
    const RECT rect{0, 0, column.right - column.left, column.bottom - column.top};
    CMemoryDc dc;
    CGdiObject<HBITMAP> bitmap;
    {
        const CClientDC windowDc(m_hWnd);
        dc.Reset(::CreateCompatibleDC(windowDc.Get()));
        bitmap.Reset(::CreateCompatibleBitmap(windowDc.Get(), rect.right, rect.bottom));
    }
    if (!dc || !bitmap)
        return nullptr;
    {
        CSelectObject selected(dc.Get(), bitmap.Get());
        const bool themed = Themed();
        if (themed)
        {
            FillListRect(dc.Get(), rect, m_colours.window);
            ::DrawThemeBackground(m_headerTheme.Get(), dc.Get(), HP_HEADERITEM, HIS_PRESSED, &rect, nullptr);
        }
        else
        {
            FillListRect(dc.Get(), rect, m_colours.headerFace);
            DrawListRaisedEdge(dc.Get(), rect, m_colours.headerLight, m_colours.headerShadow);
        }
        DrawHeaderContent(dc.Get(), position, rect, themed, false);
    }
    return bitmap.Detach();
}

void CListImpl::DrawHeaderContent(HDC dc, int position, const RECT& rect, bool themed, bool withArrow)
{
    const CListColumn& column = m_columns[position];
    const int width = rect.right - rect.left;
    RECT content = rect;
    OffsetRect(&content, 0, 1);
    content.left = rect.left + (position == 0 ? 4 : 3) + 4;
    content.right = rect.right - 5;
    const bool arrow = m_options.sortable && width > 15 && !column.fixed && column.id == m_header.sortColumn;
    if (arrow)
        content.right -= 15;
    const SIZE icon = ItemIconSize();
    if (column.image != -1 && m_itemImages)
    {
        int ix = content.left;
        if (column.title.empty())
            ix = content.left + (content.right - content.left) / 2 - icon.cx / 2 - (themed ? 1 : 0);
        const int iy = content.top + (content.bottom - content.top) / 2 - icon.cy / 2;
        DrawClippedImage(dc, column.image, ix, iy, rect.left + width - 2, GetHeaderHeight());
        content.left += icon.cx + 4;
    }
    {
        CSelectObject font(dc, m_listFont.Get());
        ::SetTextColor(dc, m_colours.headerText);
        ::SetBkMode(dc, TRANSPARENT);
        const UINT align = (column.flags & ITEM_FLAGS_CENTRE)  ? DT_CENTER
                           : (column.flags & ITEM_FLAGS_RIGHT) ? DT_RIGHT
                                                               : DT_LEFT;
        ::DrawTextW(dc, column.title.c_str(), static_cast<int>(column.title.size()), &content,
                    align | DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
    }
    if (arrow && withArrow && m_itemImages)
    {
        const int ay = content.top + (content.bottom - content.top) / 2 - 3;
        DrawClippedImage(dc, m_header.sortAscending ? 1 : 0, content.right + 4, ay, rect.right, GetHeaderHeight());
    }
}

int CListImpl::AutoSizeColumn(int position)
{
    if (!IsColumn(position) || m_columns[position].fixed)
        return 0;
    const CListColumn& column = m_columns[position];
    int width = 0;
    bool measured;
    {
        const CClientDC windowDc(m_hWnd);
        HDC dc = windowDc.Get();
        if (!dc)
            return 0;
        CSelectObject font(dc, m_listFont.Get());
        SIZE extent{};
        measured = ::GetTextExtentPoint32W(dc, column.title.c_str(), static_cast<int>(column.title.size()), &extent);
        if (measured)
        {
            width = extent.cx + 20;
            const SIZE icon = CellIconSize();
            for (int row = 0; row < GetItemCount() && measured; ++row)
            {
                const CListCell* cell = FindCell(row, column.id);
                const std::wstring& text = cell ? cell->text : EmptyText();
                measured = ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
                int cellWidth = extent.cx + 20;
                if (m_options.cellImages && GetItemImage(row, column.id) != -1)
                    cellWidth += icon.cx;
                width = std::max(width, cellWidth);
            }
        }
    }
    if (!measured)
        return 0;
    SetColumnWidth(position, width);
    return width;
}
