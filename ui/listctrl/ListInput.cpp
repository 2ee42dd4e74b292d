// The input side of the list: the selection, what the mouse buttons and
// the pointer do over rows, cells and the header, the rubber band, the
// keys, type-ahead and sorting by a header click.
#include "ui/listctrl/ListChildren.h"
#include <algorithm>
#include <cstdlib>
#include <new>

BOOL CListImpl::SelectItem(int row, int position, UINT keyFlags)
{
    const int count = GetItemCount();
    if (row < 0 || row >= count)
        return FALSE;
    if (ApplyClick(m_selection, row, position, keyFlags, m_options.singleSelect, count))
        NotifyParent(m_selection.focusRow, m_selection.focusColumn, LCN_SELECTED);

    // A cell that shows whole gets its editor at once; one that must be
    // scrolled into view first gets it a moment later.
    if (IsItemVisible(row, m_selection.rows.size() < 2 ? position : -1, FALSE))
    {
        if (m_selection.focusRow != -1 && m_selection.focusColumn != -1)
            EditItem(m_selection.focusRow, m_selection.focusColumn);
    }
    else
    {
        SetTimer(TIMER_EDIT_DELAY, 250);
    }
    Invalidate();
    return TRUE;
}

// A click without Shift or Control on one row of a selection of several
// acts at the release, so that the selection can still be dragged.
BOOL CListImpl::IsPlainClickInSelection(int row, UINT keyFlags) const
{
    return !(keyFlags & (MK_SHIFT | MK_CONTROL)) && m_selection.rows.size() >= 2 && IsSelected(row);
}

// A check box flips between "0" and "1"; a three-state box goes
// "-1" -> "0" -> "1" -> "-1". Read-only cells and other formats stay.
void CListImpl::ToggleCell(int row, int position)
{
    const int id = GetColumnId(position);
    CListCell* cell = FindCell(row, id);
    if (!cell || (GetItemFlags(row, id) & ITEM_FLAGS_READ_ONLY))
        return;
    const long value = std::wcstol(cell->text.c_str(), nullptr, 10);
    switch (GetItemFormat(row, id))
    {
    case ITEM_FORMAT_CHECKBOX:
        cell->text = value >= 1 ? L"0" : L"1";
        break;
    case ITEM_FORMAT_CHECKBOX3:
        cell->text = value < 0 ? L"0" : value == 0 ? L"1" : L"-1";
        break;
    default:
        return;
    }
    NotifyParent(row, position, LCN_MODIFIED);
    InvalidateItem(row);
}

LRESULT CListImpl::OnLButtonDown(UINT, WPARAM wParam, LPARAM lParam, BOOL&)
{
    const UINT keys = static_cast<UINT>(wParam);
    const POINT point = PointFromLParam(lParam);
    HideTitleTip();
    m_input.buttonDown = TRUE;
    m_input.pressPoint = point;
    m_input.bandAnchor = POINT{point.x + GetScrollPos(SB_HORZ), point.y + GetScrollPos(SB_VERT)};
    StopAnimation();
    SetFocus();
    SetCapture();

    int row = -1, position = -1;
    UINT bits = 0;
    if (HitTestDivider(point, position, bits))
    {
        if (m_columns[position].fixed || !(bits & 0x1))
        {
            m_header.pressedColumn = position;
            InvalidateHeader();
        }
        else
        {
            ::SetCursor(m_dividerCursor);
            BeginResize(position, PointFromLParam(static_cast<LPARAM>(::GetMessagePos())).x);
        }
        return 0;
    }
    if (!HitTest(point, row, position))
    {
        m_selection.anchorRow = -1;
        m_input.dragArmed = TRUE;
        return 0;
    }
    if (!(keys & (MK_SHIFT | MK_CONTROL)) && position != 0)
    {
        m_input.dragArmed = TRUE;
        m_selection.anchorRow = row;
    }
    if (!IsPlainClickInSelection(row, keys))
        SelectItem(row, position, keys);
    const int id = GetColumnId(position);
    if (GetItemFlags(row, id) & ITEM_FLAGS_READ_ONLY)
        return 0;
    switch (GetItemFormat(row, id))
    {
    case ITEM_FORMAT_CHECKBOX:
    case ITEM_FORMAT_CHECKBOX3:
        ToggleCell(row, position);
        m_input.dragArmed = FALSE;
        break;
    case ITEM_FORMAT_HYPERLINK:
        ::SetCursor(m_handCursor);
        NotifyParent(row, position, LCN_HYPERLINK);
        m_input.dragArmed = FALSE;
        break;
    default:
        break;
    }
    return 0;
}

LRESULT CListImpl::OnLButtonUp(UINT, WPARAM wParam, LPARAM lParam, BOOL&)
{
    const UINT keys = static_cast<UINT>(wParam);
    const POINT point = PointFromLParam(lParam);
    if (m_input.buttonDown)
        ::ReleaseCapture();
    CListHeaderState& header = m_header;
    if (header.resizing || header.pressedColumn != -1)
    {
        if (!header.resizing)
            SortColumn(header.pressedColumn);
        header.resizing = FALSE;
        header.resizedColumn = header.pressedColumn = -1;
        header.resizeStartWidth = header.resizeStartX = 0;
        InvalidateHeader();
    }
    m_input.dragArmed = m_input.buttonDown = FALSE;
    m_input.pressPoint = POINT{};
    m_input.bandAnchor = POINT{};
    if (m_input.bandActive)
    {
        EndBand();
        return 0;
    }
    int row = -1, position = -1;
    if (!HitTest(point, row, position))
    {
        row = position = -1;
    }
    else if (IsPlainClickInSelection(row, keys))
    {
        SelectItem(row, position, keys);
    }
    NotifyParent(row, position, LCN_LEFTCLICK);
    return 0;
}

LRESULT CListImpl::OnLButtonDblClk(UINT, WPARAM, LPARAM lParam, BOOL&)
{
    const POINT point = PointFromLParam(lParam);
    HideTitleTip();
    // A second press: a check box toggles again.
    SendMessage(WM_LBUTTONDOWN, 0, lParam);
    int row = -1, position = -1;
    UINT bits = 0;
    if (HitTestDivider(point, position, bits) && (bits & 0x1))
        AutoSizeColumn(position);
    position = -1;
    if (!HitTest(point, row, position))
        row = position = -1;
    NotifyParent(row, position, LCN_DBLCLICK);
    return 0;
}

LRESULT CListImpl::OnRButtonDown(UINT, WPARAM wParam, LPARAM lParam, BOOL&)
{
    StopAnimation();
    SetFocus();
    HideTitleTip();
    int row = -1, position = -1;
    if (HitTest(PointFromLParam(lParam), row, position) && !IsSelected(row))
        SelectItem(row, position, static_cast<UINT>(wParam));
    return 0;
}

LRESULT CListImpl::OnRButtonUp(UINT, WPARAM, LPARAM lParam, BOOL&)
{
    const POINT point = PointFromLParam(lParam);
    int row = -1, position = -1;
    if (!HitTest(point, row, position))
    {
        ClearSelection();
        Invalidate();
    }
    NotifyParent(row, position, LCN_RIGHTCLICK);
    return 0;
}

LRESULT CListImpl::OnMouseMove(UINT, WPARAM wParam, LPARAM lParam, BOOL&)
{
    const UINT keys = static_cast<UINT>(wParam);
    const POINT point = PointFromLParam(lParam);
    CListInputState& input = m_input;
    if (!(keys & MK_LBUTTON))
    {
        if (input.buttonDown)
            ::ReleaseCapture();
        input.buttonDown = FALSE;
    }
    if (!input.mouseTracking)
    {
        TRACKMOUSEEVENT track{sizeof(track), TME_LEAVE, m_hWnd, 0};
        input.mouseTracking = ::TrackMouseEvent(&track);
    }

    int row = -1, position = -1;
    if (input.buttonDown)
    {
        if (m_header.resizing)
        {
            OnResizeColumn(0);
            return 0;
        }
        const int dx = std::abs(point.x - input.pressPoint.x), dy = std::abs(point.y - input.pressPoint.y);
        // A header press turns into a column drag, never into a band.
        if (m_header.pressedColumn != -1)
        {
            if (dx > 4 || dy > 4)
                BeginHeaderDrag();
            return 0;
        }
        if (dx > 3 || dy > 3)
        {
            if ((input.dragArmed || !m_options.swipeSelect) && !m_options.singleSelect && !input.editing &&
                !input.bandActive)
            {
                input.bandActive = TRUE;
                SetRectEmpty(&input.bandRect);
            }
            if (!input.dragArmed && m_options.swipeSelect && HitTest(point, row, position) && !IsSelected(row))
                SelectItem(row, position, keys);
        }
        if (input.bandActive)
            OnBandMove(point);
        return 0;
    }

    UINT bits = 0;
    if (m_options.showHeader && point.y >= 0 && point.y < GetHeaderHeight())
    {
        const bool onColumn = HitTestDivider(point, position, bits);
        if (Themed())
        {
            const int hot = onColumn ? position : -1;
            if (hot != m_header.hotColumn)
            {
                m_header.hotColumn = hot;
                InvalidateHeader();
            }
        }
        HideTitleTip();
        if (onColumn && (bits & 0x1) && !m_columns[position].fixed)
            ::SetCursor(m_dividerCursor);
        return 0;
    }
    if (m_header.hotColumn != -1)
    {
        m_header.hotColumn = -1;
        InvalidateHeader();
    }

    auto isLink = [this](int r, int p) {
        const int id = GetColumnId(p);
        return p != -1 && FindCell(r, id) && GetItemFormat(r, id) == ITEM_FORMAT_HYPERLINK &&
               !(GetItemFlags(r, id) & ITEM_FLAGS_READ_ONLY);
    };
    const bool overCell = HitTest(point, row, position);
    if (!overCell)
        row = position = -1;
    if (row != input.hotRow || position != input.hotColumn)
    {
        if (isLink(input.hotRow, input.hotColumn))
            InvalidateItem(input.hotRow, input.hotColumn);
        input.hotRow = row;
        input.hotColumn = position;
        if (overCell && isLink(row, position))
            InvalidateItem(row, position);
    }
    if (overCell && isLink(row, position))
        ::SetCursor(m_handCursor);

    // The row tooltip: one tool over the row under the pointer.
    CWindow& tooltip = m_children->tooltip;
    if (tooltip.IsWindow())
    {
        TOOLINFOW tool{};
        tool.cbSize = TTTOOLINFOW_V2_SIZE;
        tool.hwnd = m_hWnd;
        tool.uId = 1000;
        tooltip.SendMessage(TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
        std::wstring tip = overCell ? GetItemTipText(row) : std::wstring();
        RECT rect{};
        if (!tip.empty() && GetItemRect(row, -1, rect))
        {
            if (tip.size() > 32767)
                tip.resize(32767);
            tool.rect = rect;
            tool.lpszText = &tip[0];
            tooltip.SendMessage(TTM_ACTIVATE, TRUE);
            tooltip.SendMessage(TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
        }
        else
        {
            tooltip.SendMessage(TTM_ACTIVATE, FALSE);
        }
    }
    if (overCell)
        ShowTitleTip(point, row, position);
    else
        HideTitleTip();
    return 0;
}

LRESULT CListImpl::OnMouseLeave(UINT, WPARAM, LPARAM, BOOL&)
{
    m_input.mouseTracking = FALSE;
    if (m_header.hotColumn != -1)
    {
        m_header.hotColumn = -1;
        InvalidateHeader();
    }
    if (m_input.hotRow != -1 || m_input.hotColumn != -1)
    {
        m_input.hotRow = m_input.hotColumn = -1;
        Invalidate();
    }
    return 0;
}

LRESULT CListImpl::OnRelayToTooltip(UINT message, WPARAM wParam, LPARAM lParam, BOOL& handled)
{
    CWindow& tooltip = m_children->tooltip;
    if (tooltip.IsWindow())
    {
        MSG msg{m_hWnd, message, wParam, lParam, 0, {0, 0}};
        tooltip.SendMessage(TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&msg));
    }
    handled = FALSE;
    return 0;
}

LRESULT CListImpl::OnKeyDown(UINT, WPARAM wParam, LPARAM, BOOL&)
{
    StopAnimation();
    const bool ctrl = ::GetKeyState(VK_CONTROL) < 0, shift = ::GetKeyState(VK_SHIFT) < 0;
    const int count = GetItemCount();
    const int lastColumn = GetColumnCount() - 1;
    const int current = CurrentRow(), column = CurrentColumn();
    const int rowHeight = m_geometry.rowHeight;
    CListSelection& selection = m_selection;
    RECT client{};
    GetClientRect(&client);
    const int page = rowHeight > 0 ? std::max<int>(1, (client.bottom - GetHeaderHeight()) / rowHeight) : 1;

    // A vertical move to a row (held to the rows) in the current column.
    auto moveTo = [&](int row) {
        selection.focusRow = std::max(std::min(row, count - 1), 0);
        selection.focusColumn = column;
        EnsureVisible(selection.focusRow, selection.focusColumn);
    };
    auto moveColumn = [&](int step) {
        selection.focusColumn = std::max(std::min(selection.focusColumn + step, lastColumn), 0);
        selection.focusRow = current;
        EnsureVisible(selection.focusRow, selection.focusColumn);
    };
    auto scrollBy = [&](int step) {
        const int position = GetScrollPos(SB_HORZ) + step;
        SetScrollPos(SB_HORZ, std::max(std::min<int>(position, client.right), 0), TRUE);
        Invalidate();
    };

    switch (wParam)
    {
    case VK_TAB:
        if (ctrl)
            return 0;
        if (m_options.cellFocus && lastColumn >= 0)
            moveColumn(shift ? -1 : 1);
        break;
    case VK_PRIOR:
    case VK_NEXT:
    case VK_END:
    case VK_HOME:
    case VK_UP:
    case VK_DOWN:
        if (count == 0)
            return 0;
        moveTo(wParam == VK_PRIOR  ? current - page + 1
               : wParam == VK_NEXT ? current + page - 1
               : wParam == VK_END  ? count - 1
               : wParam == VK_HOME ? 0
               : wParam == VK_UP   ? current - 1
                                   : current + 1);
        break;
    case VK_LEFT:
    case VK_RIGHT:
    {
        const int sign = wParam == VK_LEFT ? -1 : 1;
        if (m_options.cellFocus && lastColumn >= 0)
            moveColumn(sign);
        else
            scrollBy(sign * (ctrl ? 50 : 5));
        break;
    }
    case VK_SPACE:
    {
        const int id = GetColumnId(column);
        const UINT format = GetItemFormat(current, id);
        if ((format == ITEM_FORMAT_CHECKBOX || format == ITEM_FORMAT_CHECKBOX3) &&
            !(GetItemFlags(current, id) & ITEM_FLAGS_READ_ONLY))
        {
            ToggleCell(current, column);
        }
        else if (!ctrl)
        {
            TypeAhead(static_cast<wchar_t>(wParam));
        }
        return 0;
    }
    default:
        if (ctrl && wParam == 'A')
        {
            if (!m_options.singleSelect)
            {
                for (int row = 0; row < count; ++row)
                    selection.rows.insert(row);
                Invalidate();
            }
        }
        else if (!ctrl)
        {
            TypeAhead(static_cast<wchar_t>(wParam));
        }
        return 0;
    }
    if (!ctrl)
        SelectItem(selection.focusRow, selection.focusColumn, shift ? MK_SHIFT : 0);
    return 0;
}

// Letters typed in quick succession find the next row whose text in the
// sorted column (the first column before any sort) begins with them.
void CListImpl::TypeAhead(wchar_t key)
{
    if (key < L'A' || key > L'Z')
        return;
    const int id = m_header.sortColumn == -1 ? 0 : m_header.sortColumn;
    const int current = CurrentRow();
    const int count = GetItemCount();
    const DWORD now = ::GetTickCount();
    std::wstring& typed = m_input.typeAhead;
    auto beginsWithBuffer = [&](int row) {
        const CListCell* cell = FindCell(row, id);
        const int length = static_cast<int>(typed.size());
        return cell && static_cast<int>(cell->text.size()) >= length &&
               ::CompareStringOrdinal(cell->text.c_str(), length, typed.c_str(), length, TRUE) == CSTR_EQUAL;
    };
    int start = current + 1;
    const bool sameKey = !typed.empty() && typed[0] == key;
    if (now - m_input.typeAheadTime >= 800)
    {
        if (!sameKey)
            start = 0;
        typed.assign(1, key);
    }
    else
    {
        if (!sameKey)
            typed += key;
        if (typed.size() > 1 && beginsWithBuffer(current))
        {
            m_input.typeAheadTime = now;
            return;
        }
    }
    m_input.typeAheadTime = now;
    for (int pass = 0; pass < 2; ++pass)
    {
        for (int row = pass == 0 ? std::max(start, 0) : 0; row < count; ++row)
        {
            if (beginsWithBuffer(row))
            {
                const int position = CurrentColumn();
                SelectItem(row, position, MK_LBUTTON);
                EnsureVisible(row, position);
                return;
            }
        }
    }
}

LRESULT CListImpl::OnSysKeyDown(UINT, WPARAM, LPARAM, BOOL& handled)
{
    HideTitleTip();
    handled = FALSE;
    return 0;
}

LRESULT CListImpl::OnCancelMode(UINT, WPARAM, LPARAM, BOOL&)
{
    if (m_input.buttonDown)
        ::ReleaseCapture();
    HideTitleTip();
    m_children->dropArrows.Hide();
    if (m_header.pressedColumn != -1)
    {
        m_header.pressedColumn = -1;
        InvalidateHeader();
    }
    return 0;
}

LRESULT CListImpl::OnTimer(UINT, WPARAM wParam, LPARAM, BOOL& handled)
{
    switch (wParam)
    {
    case TIMER_AUTOSCROLL_RESIZE:
        OnResizeColumn(1);
        break;
    case TIMER_AUTOSCROLL_SELECT:
        if (m_input.bandActive)
        {
            POINT point = PointFromLParam(static_cast<LPARAM>(::GetMessagePos()));
            ScreenToClient(&point);
            AutoScrollBand(point);
            SelectRowsInRect(m_input.bandRect);
        }
        else
        {
            KillTimer(TIMER_AUTOSCROLL_SELECT);
        }
        break;
    case TIMER_EDIT_DELAY:
        OnEditDelay();
        break;
    case TIMER_SCROLL_ANIMATION:
        if (!AnimateStep())
            StopAnimation();
        break;
    default:
        handled = FALSE;
        break;
    }
    return 0;
}

void CListImpl::ResetHotCells()
{
    m_input.hotRow = m_input.hotColumn = -1;
    m_input.tipRow = m_input.tipColumn = -1;
}

// ---- Rubber band ------------------------------------------------------------

void CListImpl::BeginBand(POINT point)
{
    m_input.bandActive = TRUE;
    m_input.bandAnchor = POINT{point.x + GetScrollPos(SB_HORZ), point.y + GetScrollPos(SB_VERT)};
    SetRectEmpty(&m_input.bandRect);
}

void CListImpl::OnBandMove(POINT point)
{
    ResetHotCells();
    HideTitleTip();
    CListInputState& input = m_input;
    const POINT content{point.x + GetScrollPos(SB_HORZ), point.y + GetScrollPos(SB_VERT)};
    input.bandRect = RECT{std::min(input.bandAnchor.x, content.x), std::min(input.bandAnchor.y, content.y),
                          std::max(input.bandAnchor.x, content.x), std::max(input.bandAnchor.y, content.y)};
    if (IsRectEmpty(&input.bandRect))
        return;
    SelectRowsInRect(input.bandRect);
    SetTimer(TIMER_AUTOSCROLL_SELECT, 20);
    const DWORD now = ::GetTickCount();
    if (now - input.lastBandScroll > 10 && AutoScrollBand(point))
        input.lastBandScroll = now;
    RedrawWindow(nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
}

void CListImpl::SelectRowsInRect(const RECT& band)
{
    int top = 0, bottom = -1;
    if (band.left < GetTotalWidth() && m_geometry.rowHeight > 0)
    {
        const int scroll = GetScrollPos(SB_VERT);
        top = RowFromClientY(band.top - scroll);
        bottom = RowFromClientY(band.bottom - scroll);
    }
    SelectRowRange(m_selection, top, bottom, GetItemCount());
}

BOOL CListImpl::AutoScrollBand(POINT point)
{
    RECT client{};
    GetClientRect(&client);
    RECT& band = m_input.bandRect;
    const POINT anchor = m_input.bandAnchor;
    BOOL scrolled = FALSE;
    const int vertical = GetScrollPos(SB_VERT);
    if (point.y < GetHeaderHeight())
    {
        SendMessage(WM_VSCROLL, SB_LINEUP);
        const int now = GetScrollPos(SB_VERT);
        if (now != vertical)
        {
            scrolled = TRUE;
            band.top = now + GetHeaderHeight() - 1;
            band.bottom = std::max<LONG>(anchor.y, now + point.y - 1);
        }
    }
    else if (point.y > client.bottom)
    {
        SendMessage(WM_VSCROLL, SB_LINEDOWN);
        const int now = GetScrollPos(SB_VERT);
        if (now != vertical)
        {
            scrolled = TRUE;
            band.top = std::min<LONG>(anchor.y, now + point.y + 1);
            band.bottom = now + client.bottom + 1;
        }
    }
    const int horizontal = GetScrollPos(SB_HORZ);
    if (point.x < client.left)
    {
        SendMessage(WM_HSCROLL, SB_LINELEFT);
        const int now = GetScrollPos(SB_HORZ);
        if (now != horizontal)
        {
            scrolled = TRUE;
            band.left = now + client.left - 1;
            band.right = std::max<LONG>(anchor.x, now + point.x - 1);
        }
    }
    else if (point.x > client.right)
    {
        SendMessage(WM_HSCROLL, SB_LINERIGHT);
        const int now = GetScrollPos(SB_HORZ);
        if (now != horizontal)
        {
            scrolled = TRUE;
            band.left = std::min<LONG>(anchor.x, now + point.x + 1);
            band.right = now + client.right + 1;
        }
    }
    return scrolled;
}

void CListImpl::EndBand()
{
    m_input.bandActive = FALSE;
    SetRectEmpty(&m_input.bandRect);
    if (m_hWnd)
    {
        KillTimer(TIMER_AUTOSCROLL_SELECT);
        Invalidate();
    }
}

// ---- Sorting ------------------------------------------------------------------

BOOL CListImpl::SortColumn(int position)
{
    if (!m_options.showHeader || !m_options.sortable)
        return FALSE;
    const int id = GetColumnId(position);
    struct WaitCursor
    {
        HCURSOR previous = ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
        ~WaitCursor() { ::SetCursor(previous); }
    } wait;
    const int count = GetItemCount();
    std::vector<int> order;
    try
    {
        if (id == m_header.sortColumn)
        {
            // The same column again: the rows only turn round, so rows added
            // since the last sort keep their place relative to the others.
            order.resize(static_cast<size_t>(count));
            for (int place = 0; place < count; ++place)
                order[static_cast<size_t>(place)] = count - 1 - place;
        }
        else
        {
            std::vector<const std::wstring*> texts(static_cast<size_t>(count));
            for (int row = 0; row < count; ++row)
            {
                const CListCell* cell = FindCell(row, id);
                texts[static_cast<size_t>(row)] = cell ? &cell->text : &EmptyText();
            }
            SortOrder(texts, order);
        }
    }
    catch (const std::bad_alloc&)
    {
        return FALSE;
    }
    if (!ReorderRows(order))
        return FALSE;
    if (id == m_header.sortColumn)
    {
        m_header.sortAscending = !m_header.sortAscending;
    }
    else
    {
        m_header.sortAscending = TRUE;
        m_header.sortColumn = id;
    }
    ClearSelection();
    return Invalidate();
}
