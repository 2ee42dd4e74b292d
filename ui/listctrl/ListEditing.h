// In-place editing of list cells: opening an editor over a cell and
// writing its result back. Included at the end of ListImpl.h.
#pragma once
#include "ui/listctrl/ListImpl.h"

template <class T>
BOOL CListImpl<T>::EditItem(int row, int position)
{
    if (!IsColumn(position) || !EnsureVisible(row, position) || ::GetFocus() != this->m_hWnd)
        return FALSE;
    RECT cell{};
    if (!GetItemRect(row, position, cell))
        return FALSE;
    const int id = GetColumnId(position);
    const UINT flags = GetItemFlags(row, id);
    if (flags & ITEM_FLAGS_READ_ONLY)
        return TRUE;

    const CListCell* data = Self()->FindCell(row, id);
    const std::wstring text = data ? data->text : std::wstring();
    auto open = [this] {
        m_editing = TRUE;
        this->RedrawWindow(nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    };
    BOOL shown;
    switch (GetItemFormat(row, id)) {
    case ITEM_FORMAT_EDIT:
        open();
        shown = m_listEdit.Show(this->m_hWnd, row, position, cell, flags, text.c_str());
        break;
    case ITEM_FORMAT_DATETIME: {
        SYSTEMTIME time{};
        ParseItemDate(text, time);
        open();
        shown = m_listDate.Show(this->m_hWnd, row, position, cell, flags, time);
        break;
    }
    case ITEM_FORMAT_COMBO: {
        CListStrings choices;
        if (!GetItemComboList(row, id, choices) || choices.empty())
            return FALSE;
        open();
        shown = m_listCombo.Show(this->m_hWnd, row, position, cell, flags, text.c_str(), m_useThemes, choices);
        break;
    }
    default:
        return TRUE;
    }
    if (!shown) {
        m_editing = FALSE;
        this->Invalidate();
    }
    return shown;
}

template <class T>
LRESULT CListImpl<T>::OnEndEdit(int, LPNMHDR header, BOOL&)
{
    const auto* notify = reinterpret_cast<const ListNotify*>(header);
    m_editing = FALSE;
    const int id = GetColumnId(notify->column);
    if (notify->key != VK_ESCAPE) {
        if (notify->key == VK_DELETE)
            Self()->SetItemText(notify->row, id, L"");
        else if (notify->date && notify->text && std::wcstol(notify->text, nullptr, 10) != 0)
            Self()->SetItemDate(notify->row, id, *notify->date);
        else if (notify->date)
            Self()->SetItemText(notify->row, id, L"");
        else
            Self()->SetItemText(notify->row, id, notify->text);
        if (notify->key == VK_TAB)
            this->PostMessage(WM_KEYDOWN, VK_TAB);
        NotifyParent(notify->row, notify->column, LCN_MODIFIED);
    }
    InvalidateItem(notify->row);
    return 0;
}

template <class T>
LRESULT CListImpl<T>::OnRelayToTooltip(UINT message, WPARAM wParam, LPARAM lParam, BOOL& handled)
{
    if (m_tooltip.IsWindow()) {
        MSG msg{this->m_hWnd, message, wParam, lParam, 0, {0, 0}};
        m_tooltip.SendMessage(TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&msg));
    }
    handled = FALSE;
    return 0;
}
