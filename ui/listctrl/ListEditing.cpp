// In-place editing of list cells (an editor opened over a cell and its
// result written back) and the title tip over a cell whose text does not
// fit.
#include "ui/listctrl/ListChildren.h"
#include <cwchar>

BOOL CListImpl::EditItem(int row, int position)
{
    if (!IsColumn(position) || !EnsureVisible(row, position) || ::GetFocus() != m_hWnd)
        return FALSE;
    RECT cell{};
    if (!GetItemRect(row, position, cell))
        return FALSE;
    const int id = GetColumnId(position);
    const UINT flags = GetItemFlags(row, id);
    if (flags & ITEM_FLAGS_READ_ONLY)
        return TRUE;

    const CListCell* data = FindCell(row, id);
    const std::wstring text = data ? data->text : std::wstring();
    auto open = [this] {
        m_input.editing = TRUE;
        RedrawWindow(nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    };
    CListChildren& children = *m_children;
    BOOL shown;
    switch (GetItemFormat(row, id))
    {
    case ITEM_FORMAT_EDIT:
        open();
        shown = children.edit.Show(m_hWnd, row, position, cell, flags, text.c_str());
        break;
    case ITEM_FORMAT_DATETIME:
    {
        SYSTEMTIME time{};
        ParseItemDate(text, time);
        open();
        shown = children.date.Show(m_hWnd, row, position, cell, flags, time);
        break;
    }
    case ITEM_FORMAT_COMBO:
    {
        CListStrings choices;
        if (!GetItemComboList(row, id, choices) || choices.empty())
            return FALSE;
        open();
        shown = children.combo.Show(m_hWnd, row, position, cell, flags, text.c_str(), m_options.useThemes, choices);
        break;
    }
    default:
        return TRUE;
    }
    if (!shown)
    {
        m_input.editing = FALSE;
        Invalidate();
    }
    return shown;
}

LRESULT CListImpl::OnEndEdit(int, LPNMHDR header, BOOL&)
{
    const auto* notify = reinterpret_cast<const ListNotify*>(header);
    m_input.editing = FALSE;
    const int id = GetColumnId(notify->column);
    if (notify->key != VK_ESCAPE)
    {
        if (notify->key == VK_DELETE)
            SetItemText(notify->row, id, L"");
        else if (notify->date && notify->text && std::wcstol(notify->text, nullptr, 10) != 0)
            SetItemDate(notify->row, id, *notify->date);
        else if (notify->date)
            SetItemText(notify->row, id, L"");
        else
            SetItemText(notify->row, id, notify->text);
        if (notify->key == VK_TAB)
            PostMessage(WM_KEYDOWN, VK_TAB);
        NotifyParent(notify->row, notify->column, LCN_MODIFIED);
    }
    InvalidateItem(notify->row);
    return 0;
}

void CListImpl::OnEditDelay()
{
    KillTimer(TIMER_EDIT_DELAY);
    const int row = CurrentRow();
    if (m_options.cellFocus && row == -1)
        return;
    EditItem(row, CurrentColumn());
}

// A cell whose text does not fit shows it whole in the title tip while the
// pointer is over the text.
void CListImpl::ShowTitleTip(POINT point, int row, int position)
{
    CTitleTip& titleTip = m_children->titleTip;
    // The tip hides itself when the pointer leaves it; a cell whose tip has
    // gone may show it again.
    if (m_input.editing || (row == m_input.tipRow && position == m_input.tipColumn && titleTip.IsWindowVisible()))
        return;
    RECT cell{};
    if (!GetItemRect(row, position, cell))
    {
        HideTitleTip();
        return;
    }
    const int id = GetColumnId(position);
    RECT text = CellTextRect(cell, position);
    if (m_options.cellImages && GetItemImage(row, id) != -1)
        text.left += CellIconSize().cx + 4;
    if (!PtInRect(&text, point))
        return;
    std::wstring shown;
    const UINT format = GetItemFormat(row, id);
    if (format == ITEM_FORMAT_DATETIME)
        shown = DateText(GetItemText(row, id), GetItemFlags(row, id));
    else if (format != ITEM_FORMAT_CHECKBOX && format != ITEM_FORMAT_CHECKBOX3 && format != ITEM_FORMAT_PROGRESS)
        shown = GetItemText(row, id);
    ::MapWindowPoints(m_hWnd, nullptr, reinterpret_cast<POINT*>(&text), 2);
    if (!shown.empty() && titleTip.Show(text, shown, GetItemTipText(row)))
    {
        m_input.tipRow = row;
        m_input.tipColumn = position;
    }
    else
    {
        HideTitleTip();
    }
}

void CListImpl::HideTitleTip()
{
    m_input.tipRow = m_input.tipColumn = -1;
    m_children->titleTip.Hide();
}
