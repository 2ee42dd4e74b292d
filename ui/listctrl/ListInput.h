// The input side of the owner-drawn list: the selection, what the mouse
// buttons and the pointer do over rows, cells and the header, and the keys.
// Included at the end of ListImpl.h.
#pragma once
#include <cstdlib>

template <class T>
BOOL CListImpl<T>::SelectItem(int row, int position, UINT keyFlags)
{
    const int count = Self()->GetItemCount();
    if (row < 0 || row >= count)
        return FALSE;
    const bool range = !m_singleSelect && (keyFlags & MK_SHIFT);
    const bool toggle = !range && (keyFlags & MK_CONTROL);
    bool add = false, notify = false;
    if (toggle) {
        if (m_singleSelect)
            m_selection.clear();
        if (!IsSelected(row)) {
            add = true;
        } else {
            m_selection.erase(row);
            m_anchorRow = m_focusRow = row;
            m_focusColumn = m_selection.size() <= 1 ? position : -1;
        }
    } else if (m_selection.size() == 1 && IsSelected(row)) {
        m_anchorRow = m_focusRow = row;
        m_focusColumn = position;
    } else {
        m_selection.clear();
        if (range) {
            // An anchor left behind by deleted rows is held to the rows.
            if (m_anchorRow < 0)
                m_anchorRow = row;
            m_anchorRow = std::min(m_anchorRow, count - 1);
            for (int index = std::min(m_anchorRow, row); index <= std::max(m_anchorRow, row); ++index)
                m_selection.insert(index);
            m_focusColumn = m_selection.size() == 1 ? position : -1;
            m_focusRow = row;
            notify = true;
        } else {
            add = true;
        }
    }
    if (add) {
        m_anchorRow = row;
        m_selection.insert(row);
        m_focusColumn = m_selection.size() == 1 ? position : -1;
        m_focusRow = row;
        notify = true;
    }
    if (notify)
        NotifyParent(m_focusRow, m_focusColumn, LCN_SELECTED);

    // A cell that shows whole gets its editor at once; one that must be
    // scrolled into view first gets it a moment later.
    if (IsItemVisible(row, m_selection.size() < 2 ? position : -1, FALSE)) {
        if (m_focusRow != -1 && m_focusColumn != -1)
            EditItem(m_focusRow, m_focusColumn);
    } else {
        this->SetTimer(TIMER_EDIT_DELAY, 250);
    }
    this->Invalidate();
    return TRUE;
}

// A click without Shift or Control on one row of a selection of several
// acts at the release, so that the selection can still be dragged.
template <class T>
BOOL CListImpl<T>::IsPlainClickInSelection(int row, UINT keyFlags) const
{
    return !(keyFlags & (MK_SHIFT | MK_CONTROL)) && m_selection.size() >= 2 && IsSelected(row);
}

// A check box flips between "0" and "1"; a three-state box goes
// "-1" -> "0" -> "1" -> "-1". Read-only cells and other formats stay.
template <class T>
void CListImpl<T>::ToggleCell(int row, int position)
{
    const int id = GetColumnId(position);
    CListCell* cell = Self()->FindCell(row, id);
    if (!cell || (GetItemFlags(row, id) & ITEM_FLAGS_READ_ONLY))
        return;
    const long value = std::wcstol(cell->text.c_str(), nullptr, 10);
    switch (GetItemFormat(row, id)) {
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

template <class T>
LRESULT CListImpl<T>::OnLButtonDown(UINT, WPARAM wParam, LPARAM lParam, BOOL&)
{
    const UINT keys = static_cast<UINT>(wParam);
    const POINT point = PointFromLParam(lParam);
    HideTitleTip();
    m_buttonDown = TRUE;
    m_pressPoint = point;
    m_bandAnchor = POINT{point.x + this->GetScrollPos(SB_HORZ), point.y + this->GetScrollPos(SB_VERT)};
    StopAnimation();
    this->SetFocus();
    this->SetCapture();

    int row = -1, position = -1;
    UINT bits = 0;
    if (HitTestDivider(point, position, bits)) {
        if (m_columns[position].fixed || !(bits & 0x1)) {
            m_pressedColumn = position;
            InvalidateHeader();
        } else {
            ::SetCursor(m_dividerCursor);
            BeginResize(position, PointFromLParam(static_cast<LPARAM>(::GetMessagePos())).x);
        }
        return 0;
    }
    if (!HitTest(point, row, position)) {
        m_anchorRow = -1;
        m_dragArmed = TRUE;
        return 0;
    }
    if (!(keys & (MK_SHIFT | MK_CONTROL)) && position != 0) {
        m_dragArmed = TRUE;
        m_anchorRow = row;
    }
    if (!IsPlainClickInSelection(row, keys))
        SelectItem(row, position, keys);
    const int id = GetColumnId(position);
    if (GetItemFlags(row, id) & ITEM_FLAGS_READ_ONLY)
        return 0;
    switch (GetItemFormat(row, id)) {
    case ITEM_FORMAT_CHECKBOX:
    case ITEM_FORMAT_CHECKBOX3:
        ToggleCell(row, position);
        m_dragArmed = FALSE;
        break;
    case ITEM_FORMAT_HYPERLINK:
        ::SetCursor(m_handCursor);
        NotifyParent(row, position, LCN_HYPERLINK);
        m_dragArmed = FALSE;
        break;
    default:
        break;
    }
    return 0;
}

template <class T>
LRESULT CListImpl<T>::OnLButtonUp(UINT, WPARAM wParam, LPARAM lParam, BOOL&)
{
    const UINT keys = static_cast<UINT>(wParam);
    const POINT point = PointFromLParam(lParam);
    if (m_buttonDown)
        ::ReleaseCapture();
    if (m_resizingColumn || m_pressedColumn != -1) {
        if (!m_resizingColumn)
            SortColumn(m_pressedColumn);
        m_resizingColumn = FALSE;
        m_resizedColumn = m_pressedColumn = -1;
        m_resizeStartWidth = m_resizeStartX = 0;
        InvalidateHeader();
    }
    m_dragArmed = m_buttonDown = FALSE;
    m_pressPoint = POINT{};
    m_bandAnchor = POINT{};
    if (m_bandActive) {
        EndBand();
        return 0;
    }
    int row = -1, position = -1;
    if (!HitTest(point, row, position)) {
        row = position = -1;
    } else if (IsPlainClickInSelection(row, keys)) {
        SelectItem(row, position, keys);
    }
    NotifyParent(row, position, LCN_LEFTCLICK);
    return 0;
}

template <class T>
LRESULT CListImpl<T>::OnLButtonDblClk(UINT, WPARAM, LPARAM lParam, BOOL&)
{
    const POINT point = PointFromLParam(lParam);
    HideTitleTip();
    // A second press: a check box toggles again.
    this->SendMessage(WM_LBUTTONDOWN, 0, lParam);
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

template <class T>
LRESULT CListImpl<T>::OnRButtonDown(UINT, WPARAM wParam, LPARAM lParam, BOOL&)
{
    StopAnimation();
    this->SetFocus();
    HideTitleTip();
    int row = -1, position = -1;
    if (HitTest(PointFromLParam(lParam), row, position) && !IsSelected(row))
        SelectItem(row, position, static_cast<UINT>(wParam));
    return 0;
}

template <class T>
LRESULT CListImpl<T>::OnMouseMove(UINT, WPARAM wParam, LPARAM lParam, BOOL&)
{
    const UINT keys = static_cast<UINT>(wParam);
    const POINT point = PointFromLParam(lParam);
    if (!(keys & MK_LBUTTON)) {
        if (m_buttonDown)
            ::ReleaseCapture();
        m_buttonDown = FALSE;
    }
    if (!m_mouseTracking) {
        TRACKMOUSEEVENT track{sizeof(track), TME_LEAVE, this->m_hWnd, 0};
        m_mouseTracking = ::TrackMouseEvent(&track);
    }

    int row = -1, position = -1;
    if (m_buttonDown) {
        if (m_resizingColumn) {
            OnResizeColumn(0);
            return 0;
        }
        const int dx = std::abs(point.x - m_pressPoint.x), dy = std::abs(point.y - m_pressPoint.y);
        // A header press turns into a column drag, never into a band.
        if (m_pressedColumn != -1) {
            if (dx > 4 || dy > 4)
                BeginHeaderDrag();
            return 0;
        }
        if (dx > 3 || dy > 3) {
            if ((m_dragArmed || !m_swipeSelect) && !m_singleSelect && !m_editing && !m_bandActive) {
                m_bandActive = TRUE;
                SetRectEmpty(&m_bandRect);
            }
            if (!m_dragArmed && m_swipeSelect && HitTest(point, row, position) && !IsSelected(row))
                SelectItem(row, position, keys);
        }
        if (m_bandActive)
            OnBandMove(point);
        return 0;
    }

    UINT bits = 0;
    if (m_showHeader && point.y >= 0 && point.y < GetHeaderHeight()) {
        const bool onColumn = HitTestDivider(point, position, bits);
        if (m_useThemes && m_headerTheme) {
            const int hot = onColumn ? position : -1;
            if (hot != m_hotHeaderColumn) {
                m_hotHeaderColumn = hot;
                InvalidateHeader();
            }
        }
        HideTitleTip();
        if (onColumn && (bits & 0x1) && !m_columns[position].fixed)
            ::SetCursor(m_dividerCursor);
        return 0;
    }
    if (m_hotHeaderColumn != -1) {
        m_hotHeaderColumn = -1;
        InvalidateHeader();
    }

    auto isLink = [this](int r, int p) {
        const int id = GetColumnId(p);
        return p != -1 && Self()->FindCell(r, id) && GetItemFormat(r, id) == ITEM_FORMAT_HYPERLINK &&
               !(GetItemFlags(r, id) & ITEM_FLAGS_READ_ONLY);
    };
    const bool overCell = HitTest(point, row, position);
    if (!overCell)
        row = position = -1;
    if (row != m_hotRow || position != m_hotColumn) {
        if (isLink(m_hotRow, m_hotColumn))
            InvalidateItem(m_hotRow, m_hotColumn);
        m_hotRow = row;
        m_hotColumn = position;
        if (overCell && isLink(row, position))
            InvalidateItem(row, position);
    }
    if (overCell && isLink(row, position))
        ::SetCursor(m_handCursor);

    // The row tooltip: one tool over the row under the pointer.
    if (m_tooltip.IsWindow()) {
        TOOLINFOW tool{};
        tool.cbSize = TTTOOLINFOW_V2_SIZE;
        tool.hwnd = this->m_hWnd;
        tool.uId = 1000;
        m_tooltip.SendMessage(TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
        std::wstring tip = overCell ? GetItemTipText(row) : std::wstring();
        RECT rect{};
        if (!tip.empty() && GetItemRect(row, -1, rect)) {
            if (tip.size() > 32767)
                tip.resize(32767);
            tool.rect = rect;
            tool.lpszText = &tip[0];
            m_tooltip.SendMessage(TTM_ACTIVATE, TRUE);
            m_tooltip.SendMessage(TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
        } else {
            m_tooltip.SendMessage(TTM_ACTIVATE, FALSE);
        }
    }
    if (overCell)
        ShowTitleTip(point, row, position);
    else
        HideTitleTip();
    return 0;
}

// A cell whose text does not fit shows it whole in the title tip while the
// pointer is over the text.
template <class T>
void CListImpl<T>::ShowTitleTip(POINT point, int row, int position)
{
    // The tip hides itself when the pointer leaves it; a cell whose tip has
    // gone may show it again.
    if (m_editing || (row == m_tipRow && position == m_tipColumn && m_titleTip.IsWindowVisible()))
        return;
    RECT cell{};
    if (!GetItemRect(row, position, cell)) {
        HideTitleTip();
        return;
    }
    const int id = GetColumnId(position);
    RECT text = CellTextRect(cell, position);
    if (m_cellImages && GetItemImage(row, id) != -1)
        text.left += CellIconSize().cx + 4;
    if (!PtInRect(&text, point))
        return;
    std::wstring shown;
    const UINT format = GetItemFormat(row, id);
    if (format == ITEM_FORMAT_DATETIME)
        shown = DateText(Self()->GetItemText(row, id), GetItemFlags(row, id));
    else if (format != ITEM_FORMAT_CHECKBOX && format != ITEM_FORMAT_CHECKBOX3 && format != ITEM_FORMAT_PROGRESS)
        shown = Self()->GetItemText(row, id);
    ::MapWindowPoints(this->m_hWnd, nullptr, reinterpret_cast<POINT*>(&text), 2);
    if (!shown.empty() && m_titleTip.Show(text, shown, GetItemTipText(row))) {
        m_tipRow = row;
        m_tipColumn = position;
    } else {
        HideTitleTip();
    }
}

template <class T>
LRESULT CListImpl<T>::OnMouseLeave(UINT, WPARAM, LPARAM, BOOL&)
{
    m_mouseTracking = FALSE;
    if (m_hotHeaderColumn != -1) {
        m_hotHeaderColumn = -1;
        InvalidateHeader();
    }
    if (m_hotRow != -1 || m_hotColumn != -1) {
        m_hotRow = m_hotColumn = -1;
        this->Invalidate();
    }
    return 0;
}

template <class T>
LRESULT CListImpl<T>::OnKeyDown(UINT, WPARAM wParam, LPARAM, BOOL&)
{
    StopAnimation();
    const bool ctrl = ::GetKeyState(VK_CONTROL) < 0, shift = ::GetKeyState(VK_SHIFT) < 0;
    const int count = Self()->GetItemCount();
    const int lastColumn = GetColumnCount() - 1;
    const int current = CurrentRow(), column = CurrentColumn();
    RECT client{};
    this->GetClientRect(&client);
    const int page = m_rowHeight > 0 ? std::max<int>(1, (client.bottom - GetHeaderHeight()) / m_rowHeight) : 1;

    // A vertical move to a row (held to the rows) in the current column.
    auto moveTo = [&](int row) {
        m_focusRow = std::max(std::min(row, count - 1), 0);
        m_focusColumn = column;
        EnsureVisible(m_focusRow, m_focusColumn);
    };
    auto moveColumn = [&](int step) {
        m_focusColumn = std::max(std::min(m_focusColumn + step, lastColumn), 0);
        m_focusRow = current;
        EnsureVisible(m_focusRow, m_focusColumn);
    };
    auto scrollBy = [&](int step) {
        const int position = this->GetScrollPos(SB_HORZ) + step;
        this->SetScrollPos(SB_HORZ, std::max(std::min<int>(position, client.right), 0), TRUE);
        this->Invalidate();
    };

    switch (wParam) {
    case VK_TAB:
        if (ctrl)
            return 0;
        if (m_cellFocus && lastColumn >= 0)
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
    case VK_RIGHT: {
        const int sign = wParam == VK_LEFT ? -1 : 1;
        if (m_cellFocus && lastColumn >= 0)
            moveColumn(sign);
        else
            scrollBy(sign * (ctrl ? 50 : 5));
        break;
    }
    case VK_SPACE: {
        const int id = GetColumnId(column);
        const UINT format = GetItemFormat(current, id);
        if ((format == ITEM_FORMAT_CHECKBOX || format == ITEM_FORMAT_CHECKBOX3) &&
            !(GetItemFlags(current, id) & ITEM_FLAGS_READ_ONLY)) {
            ToggleCell(current, column);
        } else if (!ctrl) {
            TypeAhead(static_cast<wchar_t>(wParam));
        }
        return 0;
    }
    default:
        if (ctrl && wParam == 'A') {
            if (!m_singleSelect) {
                for (int row = 0; row < count; ++row)
                    m_selection.insert(row);
                this->Invalidate();
            }
        } else if (!ctrl) {
            TypeAhead(static_cast<wchar_t>(wParam));
        }
        return 0;
    }
    if (!ctrl)
        SelectItem(m_focusRow, m_focusColumn, shift ? MK_SHIFT : 0);
    return 0;
}

// Letters typed in quick succession find the next row whose text in the
// sorted column (the first column before any sort) begins with them.
template <class T>
void CListImpl<T>::TypeAhead(wchar_t key)
{
    if (key < L'A' || key > L'Z')
        return;
    const int id = m_sortColumn == -1 ? 0 : m_sortColumn;
    const int current = CurrentRow();
    const int count = Self()->GetItemCount();
    const DWORD now = ::GetTickCount();
    auto beginsWithBuffer = [&](int row) {
        const CListCell* cell = Self()->FindCell(row, id);
        const int length = static_cast<int>(m_typeAhead.size());
        return cell && static_cast<int>(cell->text.size()) >= length &&
               ::CompareStringOrdinal(cell->text.c_str(), length, m_typeAhead.c_str(), length, TRUE) == CSTR_EQUAL;
    };
    int start = current + 1;
    const bool sameKey = !m_typeAhead.empty() && m_typeAhead[0] == key;
    if (now - m_typeAheadTime >= 800) {
        if (!sameKey)
            start = 0;
        m_typeAhead.assign(1, key);
    } else {
        if (!sameKey)
            m_typeAhead += key;
        if (m_typeAhead.size() > 1 && beginsWithBuffer(current)) {
            m_typeAheadTime = now;
            return;
        }
    }
    m_typeAheadTime = now;
    for (int pass = 0; pass < 2; ++pass) {
        for (int row = pass == 0 ? std::max(start, 0) : 0; row < count; ++row) {
            if (beginsWithBuffer(row)) {
                const int position = CurrentColumn();
                SelectItem(row, position, MK_LBUTTON);
                EnsureVisible(row, position);
                return;
            }
        }
    }
}

template <class T>
LRESULT CListImpl<T>::OnSysKeyDown(UINT, WPARAM, LPARAM, BOOL& handled)
{
    HideTitleTip();
    handled = FALSE;
    return 0;
}

template <class T>
LRESULT CListImpl<T>::OnCancelMode(UINT, WPARAM, LPARAM, BOOL&)
{
    if (m_buttonDown)
        ::ReleaseCapture();
    HideTitleTip();
    m_dropArrows.Hide();
    if (m_pressedColumn != -1) {
        m_pressedColumn = -1;
        InvalidateHeader();
    }
    return 0;
}

template <class T>
void CListImpl<T>::OnEditDelay()
{
    this->KillTimer(TIMER_EDIT_DELAY);
    const int row = CurrentRow();
    if (m_cellFocus && row == -1)
        return;
    EditItem(row, CurrentColumn());
}
