// Painting the list: the background, the rows and their cells, the rubber
// band, and the smooth-scroll animation.
#include "ui/listctrl/ListImpl.h"
#include <uxtheme.h>
#include <vssym32.h>
#include <algorithm>
#include <cmath>
#include <cwchar>

namespace
{

void DrawCellText(HDC dc, const std::wstring& text, RECT rect, UINT format)
{
    if (!text.empty())
        ::DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &rect, format);
}

int CheckBoxImage(const std::wstring& text)
{
    return std::wcstol(text.c_str(), nullptr, 10) < 1 ? 2 : 3;
}

int ThreeStateImage(const std::wstring& text)
{
    const long value = std::wcstol(text.c_str(), nullptr, 10);
    return value < 0 ? 5 : value == 0 ? 2 : 4;
}

double ProgressPercent(const std::wstring& text)
{
    const double value = std::wcstod(text.c_str(), nullptr);
    if (!(value > 0)) // also a text that is no number (NaN)
        return 0;
    return std::min(value, 100.0);
}

} // namespace

void CListImpl::DoPaint(HDC dc)
{
    const int saved = ::SaveDC(dc);
    DrawBackground(dc);
    DrawItems(dc);
    DrawSelectionBand(dc);
    DrawHeader(dc);
    ::RestoreDC(dc, saved);
}

void CListImpl::DrawBackground(HDC dc)
{
    RECT clip{};
    ::GetClipBox(dc, &clip);
    FillListRect(dc, clip, m_colours.window);
    RECT client{};
    GetClientRect(&client);
    const int below = client.bottom - GetHeaderHeight();
    HBITMAP background = m_options.background;
    if (!background || below <= 0)
        return;
    BITMAP info{};
    if (!::GetObjectW(background, sizeof(info), &info) || info.bmWidth <= 0 || info.bmHeight <= 0)
        return;
    CMemoryDc source(::CreateCompatibleDC(dc));
    if (!source)
        return;
    CSelectObject selected(source.Get(), background);
    if (m_options.tileBackground)
    {
        // The grid starts at the client's top, so it counts rows over the
        // whole client height: counted below the header only, a header
        // taller than the bitmap would leave the bottom uncovered.
        const int rows = (client.bottom + info.bmHeight - 1) / info.bmHeight + 1;
        const int columns = (client.right + info.bmWidth - 1) / info.bmWidth + 1;
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < columns; ++c)
                ::BitBlt(dc, c * info.bmWidth, r * info.bmHeight, info.bmWidth, info.bmHeight, source.Get(), 0, 0,
                         SRCCOPY);
    }
    else
    {
        int x = 0, width = client.right;
        if (info.bmWidth < client.right)
        {
            x = client.right / 2 - info.bmWidth / 2;
            width = info.bmWidth;
        }
        int y = GetHeaderHeight(), height = below;
        if (info.bmHeight + 16 < below)
        {
            y = below / 2 - (info.bmHeight + 16) / 2;
            height = info.bmHeight;
        }
        ::BitBlt(dc, x, y, width, height, source.Get(), 0, 0, SRCCOPY);
    }
}

void CListImpl::DrawItems(HDC dc)
{
    RECT clip{};
    if (::GetClipBox(dc, &clip) == ERROR || m_geometry.rowHeight <= 0)
        return;
    RECT row{-GetScrollPos(SB_HORZ), GetHeaderHeight(), GetTotalWidth(), GetHeaderHeight()};
    for (int index = FirstVisibleRow(); index < GetItemCount(); ++index)
    {
        row.bottom = row.top + m_geometry.rowHeight;
        if (row.bottom >= clip.top && row.right >= clip.left)
        {
            if (row.top > clip.bottom || row.left > clip.right)
                break;
            DrawItem(dc, index, row);
        }
        row.top = row.bottom;
    }
}

void CListImpl::DrawItem(HDC dc, int row, const RECT& rowRect)
{
    RECT clip{};
    if (::GetClipBox(dc, &clip) == ERROR)
        return;
    const int currentRow = CurrentRow();
    const bool cellFocus = m_options.cellFocus;
    const int currentColumn = (cellFocus && currentRow != -1) ? m_selection.focusColumn : -1;
    const bool selected = IsSelected(row);
    const bool themed = Themed();
    const bool focused = HasListFocus();
    const bool editing = m_input.editing;

    if (selected)
    {
        if (!themed)
        {
            FillListRect(dc, rowRect, m_colours.highlight);
        }
        else
        {
            const COLORREF* frame = focused ? m_colours.selectionFrameFocused : m_colours.selectionFrameUnfocused;
            const COLORREF* fill = focused ? m_colours.selectionFillFocused : m_colours.selectionFillUnfocused;
            DrawSelectionFrame(dc, rowRect, frame[0], frame[1]);
            RECT inner = rowRect;
            InflateRect(&inner, -2, -2);
            DrawListGradient(dc, inner, fill[0], fill[1]);
        }
    }

    HIMAGELIST cellImages = m_options.cellImages;
    const SIZE cellIcon = CellIconSize();
    int left = rowRect.left;
    for (int position = 0; position < GetColumnCount(); ++position)
    {
        RECT cell{left, rowRect.top, left + m_columns[position].width - 1, rowRect.bottom};
        left = cell.right + 1;
        if (cell.right < clip.left || cell.right == cell.left)
            continue;
        if (cell.left > clip.right)
            break;
        const int id = m_columns[position].id;
        const CListCell* data = FindCell(row, id);
        const std::wstring& text = data ? data->text : EmptyText();
        const int image = GetItemImage(row, id);
        const UINT format = GetItemFormat(row, id);
        const UINT flags = GetItemFlags(row, id);
        if (format == ITEM_FORMAT_HIDDEN)
            break;
        const bool focusCell = cellFocus && row == currentRow && position == currentColumn;

        COLORREF background = m_colours.window, textColour = m_colours.cellText;
        if (!focusCell)
        {
            if (GetItemColours(row, id, background, textColour) && background != m_colours.window)
                RoundListRect(dc, cell, background, background, 3);
        }
        else if (!themed)
        {
            if (editing)
            {
                FillListRect(dc, cell, m_colours.window);
                FrameListRect(dc, cell, m_colours.focusCellNoTheme);
            }
            else
            {
                FillListRect(dc, cell, m_colours.focusCellNoTheme);
            }
        }
        else if (focused)
        {
            DrawSelectionFrame(dc, cell, m_colours.selectionFrameFocused[0], m_colours.selectionFrameFocused[1]);
            RECT inner = cell;
            InflateRect(&inner, -2, -2);
            if (editing)
                FillListRect(dc, inner, m_colours.window);
            else
                DrawListGradient(dc, inner, m_colours.focusCellFill[0], m_colours.focusCellFill[1]);
        }

        RECT textRect = CellTextRect(cell, position);
        if (cellImages && image != -1 && !(focusCell && editing))
        {
            int x = textRect.left;
            if (text.empty())
                x = textRect.left + (textRect.right - textRect.left) / 2 - cellIcon.cx / 2 - (themed ? 1 : 0);
            const int y = cell.top + (cell.bottom - cell.top) / 2 - cellIcon.cy / 2;
            const int cx = std::min<int>(cellIcon.cx, cell.right - x),
                      cy = std::min<int>(cellIcon.cy, cell.bottom - y);
            if (cx > 0 && cy > 0)
                ::ImageList_DrawEx(cellImages, image, dc, x, y, cx, cy, CLR_DEFAULT, CLR_DEFAULT, ILD_TRANSPARENT);
            textRect.left += cellIcon.cx + 4;
        }
        if (IsRectEmpty(&textRect))
            continue;

        CSelectObject font(dc, GetItemFont(row, id));
        if (focusCell)
            textColour = m_colours.cellText;
        else if (!themed && selected)
            textColour = m_colours.highlightText;
        ::SetTextColor(dc, textColour);
        ::SetBkMode(dc, TRANSPARENT);
        const UINT drawFormat = (flags & ITEM_FLAGS_CENTRE) ? 0x8825 : (flags & ITEM_FLAGS_RIGHT) ? 0x8826 : 0x8824;

        switch (format)
        {
        case ITEM_FORMAT_DATETIME:
        {
            const std::wstring shown = DateText(text, flags);
            if (!shown.empty())
                DrawCellText(dc, shown, textRect, drawFormat);
            break;
        }
        case ITEM_FORMAT_CHECKBOX:
            DrawCheckImage(dc, CheckBoxImage(text), textRect, cell);
            break;
        case ITEM_FORMAT_CHECKBOX3:
            DrawCheckImage(dc, ThreeStateImage(text), textRect, cell);
            break;
        case ITEM_FORMAT_HYPERLINK:
            if (row == m_input.hotRow && position == m_input.hotColumn && !(flags & ITEM_FLAGS_READ_ONLY))
            {
                ::SelectObject(dc, m_linkFont.Get());
                ::SetTextColor(dc, m_colours.link);
            }
            DrawCellText(dc, text, textRect, drawFormat);
            break;
        case ITEM_FORMAT_PROGRESS:
            DrawProgress(dc, cell, flags, ProgressPercent(text));
            break;
        default:
            DrawCellText(dc, text, textRect, drawFormat);
            break;
        }
    }
}

RECT CListImpl::CellTextRect(const RECT& cell, int position)
{
    RECT text = cell;
    text.left += position == 0 ? 4 : 3;
    InflateRect(&text, -4, 0);
    return text;
}

std::wstring CListImpl::DateText(const std::wstring& text, UINT flags)
{
    SYSTEMTIME time{};
    if (text.empty() || !ParseItemDate(text, time))
        return std::wstring();
    return (flags & ITEM_FLAGS_DATE_ONLY)   ? FormatDate(time)
           : (flags & ITEM_FLAGS_TIME_ONLY) ? FormatTime(time)
                                            : FormatDate(time) + L" " + FormatTime(time);
}

void CListImpl::DrawClippedImage(HDC dc, int image, int x, int y, int clipRight, int clipBottom)
{
    const SIZE icon = ItemIconSize();
    const int cx = std::min<int>(icon.cx, clipRight - x), cy = std::min<int>(icon.cy, clipBottom - y);
    if (cx > 0 && cy > 0)
        ::ImageList_DrawEx(m_itemImages.Get(), image, dc, x, y, cx, cy, CLR_DEFAULT, CLR_DEFAULT, ILD_TRANSPARENT);
}

void CListImpl::DrawCheckImage(HDC dc, int image, const RECT& textRect, const RECT& cell)
{
    const SIZE icon = ItemIconSize();
    const int x = textRect.left + (textRect.right - textRect.left) / 2 - icon.cx / 2 - 1;
    const int y = cell.top + (cell.bottom - cell.top) / 2 - icon.cy / 2;
    if (m_itemImages)
        DrawClippedImage(dc, image, x, y, cell.right, cell.bottom);
}

void CListImpl::DrawProgress(HDC dc, const RECT& cell, UINT flags, double percent)
{
    RECT bar = cell;
    InflateRect(&bar, -3, -2);
    if (m_options.useThemes && m_progressTheme && !(flags & ITEM_FLAGS_PROGRESS_SOLID))
    {
        ::DrawThemeBackground(m_progressTheme.Get(), dc, PP_BAR, 0, &bar, nullptr);
        RECT chunk{bar.left + 3, bar.top + 3, bar.right - 2, bar.bottom - 3};
        chunk.right = chunk.left + static_cast<int>((chunk.right - chunk.left) * percent / 100);
        ::DrawThemeBackground(m_progressTheme.Get(), dc, PP_CHUNK, 0, &chunk, nullptr);
        return;
    }
    DrawSelectionFrame(dc, bar, m_colours.headerShadow, m_colours.headerFace);
    InflateRect(&bar, -3, -3);
    bar.right = bar.left + static_cast<int>((bar.right - bar.left) * percent / 100);
    DrawListGradient(dc, bar, m_colours.progressFill[0], m_colours.progressFill[1]);
}

void CListImpl::DrawSelectionFrame(HDC dc, const RECT& rect, COLORREF outer, COLORREF inner)
{
    DrawListSelectionFrame(dc, rect, outer, inner, m_colours.window);
}

void CListImpl::DrawSelectionBand(HDC dc)
{
    if (!m_input.bandActive || IsRectEmpty(&m_input.bandRect))
        return;
    RECT band = m_input.bandRect;
    OffsetRect(&band, -GetScrollPos(SB_HORZ), -GetScrollPos(SB_VERT));
    RECT content{};
    GetClientRect(&content);
    content.top = GetHeaderHeight();
    RECT shown{};
    if (!IntersectRect(&shown, &band, &content))
        return;
    const bool themed = Themed();
    BlendListRect(dc, shown, themed ? m_colours.highlight : m_colours.focusCellNoTheme,
                  themed ? m_colours.highlight : m_colours.cellText);
}

// ---- Smooth scrolling ------------------------------------------------------------

BOOL CListImpl::AnimateScroll(int from, int to)
{
    const int rowHeight = m_geometry.rowHeight;
    if (from == to || rowHeight <= 0)
        return FALSE;
    CListAnimation& animation = m_animation;
    const int rows = std::abs(to - from);
    animation.remaining = rows * rowHeight;
    animation.steps = std::min(std::max(rows, 4), 8);
    animation.step = (animation.remaining - animation.steps) / animation.steps;
    animation.down = from < to;

    RECT client{};
    GetClientRect(&client);
    const int visible = std::max<int>((client.bottom - GetHeaderHeight() + rowHeight - 1) / rowHeight, 1);
    const int height = (rows + visible) * rowHeight;
    m_animationBitmap.Reset();
    CMemoryDc memory;
    {
        const CClientDC windowDc(m_hWnd);
        memory.Reset(::CreateCompatibleDC(windowDc.Get()));
        m_animationBitmap.Reset(::CreateCompatibleBitmap(windowDc.Get(), client.right, height));
    }
    if (memory && m_animationBitmap)
    {
        CSelectObject selected(memory.Get(), m_animationBitmap.Get());
        ::IntersectClipRect(memory.Get(), 0, 0, client.right, height);
        DrawBackground(memory.Get());
        RECT row{-GetScrollPos(SB_HORZ), 0, GetTotalWidth(), 0};
        for (int index = std::min(from, to); index < GetItemCount() && row.top < height; ++index)
        {
            row.bottom = row.top + rowHeight;
            DrawItem(memory.Get(), index, row);
            row.top = row.bottom;
        }
    }
    animation.visibleRows = visible;
    AnimateStep();
    SetTimer(TIMER_SCROLL_ANIMATION, 20);
    return TRUE;
}

BOOL CListImpl::AnimateStep()
{
    CListAnimation& animation = m_animation;
    if (animation.remaining > animation.steps)
    {
        animation.remaining -= animation.step;
        if (animation.remaining < animation.step)
            animation.remaining = animation.steps;
    }
    else
    {
        animation.remaining -= 1;
    }
    if (!m_animationBitmap || animation.remaining < 0)
        return FALSE;
    BITMAP info{};
    ::GetObjectW(m_animationBitmap.Get(), sizeof(info), &info);
    RECT client{};
    GetClientRect(&client);
    const int y = animation.down ? info.bmHeight - m_geometry.rowHeight * animation.visibleRows - animation.remaining
                                 : animation.remaining;
    const CClientDC windowDc(m_hWnd);
    CMemoryDc memory(::CreateCompatibleDC(windowDc.Get()));
    if (memory)
    {
        CSelectObject selected(memory.Get(), m_animationBitmap.Get());
        ::BitBlt(windowDc.Get(), 0, GetHeaderHeight(), client.right, client.bottom - GetHeaderHeight(), memory.Get(),
                 0, y, SRCCOPY);
    }
    return TRUE;
}

void CListImpl::StopAnimation()
{
    if (m_hWnd)
        KillTimer(TIMER_SCROLL_ANIMATION);
    m_animationBitmap.Reset();
    m_animation.animating = FALSE;
    if (m_hWnd)
        Invalidate();
}
