// Sorting the owner-drawn list by a header click. Included at the end of
// ListImpl.h.
#pragma once

template <class T>
BOOL CListImpl<T>::SortColumn(int position)
{
    if (!m_showHeader || !m_sortable)
        return FALSE;
    const int id = GetColumnId(position);
    struct WaitCursor
    {
        HCURSOR previous = ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
        ~WaitCursor() { ::SetCursor(previous); }
    } wait;
    if (id == m_sortColumn) {
        // The same column again: the rows only turn round, so rows added
        // since the last sort keep their place relative to the others.
        m_sortAscending = !m_sortAscending;
        Self()->ReverseRows();
    } else {
        m_sortAscending = TRUE;
        m_sortColumn = id;
        Self()->SortRows(id);
    }
    ClearSelection();
    return this->Invalidate();
}
