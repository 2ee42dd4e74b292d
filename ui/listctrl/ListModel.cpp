// The list's columns and its cells, reached through the data class's rows.
#include "ui/listctrl/ListImpl.h"
#include <new>

const std::wstring& CListImpl::EmptyText()
{
    static const std::wstring empty;
    return empty;
}

// ---- Columns -------------------------------------------------------------

BOOL CListImpl::AddColumn(LPCWSTR title, int width, int image, BOOL fixed, UINT format, UINT flags)
{
    if (m_columns.size() >= kMaxListColumns)
        return FALSE;
    CListColumn column;
    try
    {
        column.title = title ? title : L"";
    }
    catch (const std::bad_alloc&)
    {
        return FALSE;
    }
    if (column.title.empty() && image != -1)
    {
        width = ItemIconSize().cx + 5;
        flags |= ITEM_FLAGS_CENTRE;
    }
    column.width = width;
    column.image = image;
    column.fixed = fixed;
    column.format = format;
    column.flags = NormaliseFlags(flags);
    column.id = static_cast<int>(m_columns.size());
    try
    {
        m_columns.push_back(std::move(column));
    }
    catch (const std::bad_alloc&)
    {
        return FALSE;
    }
    ResetScrollBars(SB_BOTH, -1, TRUE);
    return TRUE;
}

BOOL CListImpl::InsertColumn(int position, const CListColumn& column)
{
    try
    {
        if (position < 0 || position >= GetColumnCount())
            m_columns.push_back(column);
        else
            m_columns.insert(m_columns.begin() + position, column);
    }
    catch (const std::bad_alloc&)
    {
        return FALSE;
    }
    return TRUE;
}

BOOL CListImpl::RemoveColumn(int position)
{
    if (!IsColumn(position))
        return FALSE;
    m_columns.erase(m_columns.begin() + position);
    return TRUE;
}

BOOL CListImpl::GetColumn(int position, CListColumn& column) const
{
    if (!IsColumn(position))
        return FALSE;
    column = m_columns[position];
    return TRUE;
}

int CListImpl::FindColumn(int id) const
{
    for (int position = 0; position < GetColumnCount(); ++position)
        if (m_columns[position].id == id)
            return position;
    return -1;
}

BOOL CListImpl::GetColumnItems(int position, CListStrings& items) const
{
    if (!IsColumn(position))
        return FALSE;
    items = m_columns[position].items;
    return !items.empty();
}

// ---- Rows ------------------------------------------------------------------

int CListImpl::AddItem(LPCWSTR text, int image, UINT format, UINT flags)
{
    const int columns = GetColumnCount();
    if (columns == 0 || static_cast<size_t>(columns) > kMaxListCells)
        return -1;
    try
    {
        CListRowBase row;
        CListCell cell;
        cell.format = format;
        cell.flags = NormaliseFlags(flags);
        cell.background = ::GetSysColor(COLOR_WINDOW);
        cell.textColour = ::GetSysColor(COLOR_WINDOWTEXT);
        row.cells.assign(static_cast<size_t>(columns), cell);
        row.cells[0].text = text ? text : L"";
        row.cells[0].image = image;
        if (!AppendRow(std::move(row)))
            return -1;
    }
    catch (const std::bad_alloc&)
    {
        return -1;
    }
    ResetScrollBars(SB_BOTH, -1, FALSE);
    return GetItemCount() - 1;
}

BOOL CListImpl::DeleteItem(int row)
{
    if (!FindRowRecord(row))
        return FALSE;
    RemoveRow(row);
    m_selection.rows.erase(row);
    ResetScrollBars(SB_BOTH, -1, FALSE);
    return TRUE;
}

// ---- Cells -------------------------------------------------------------------

const CListCell* CListImpl::FindCell(int row, int id) const
{
    const CListRowBase* found = FindRowRecord(row);
    return found && id >= 0 && id < static_cast<int>(found->cells.size()) ? &found->cells[static_cast<size_t>(id)]
                                                                          : nullptr;
}

CListCell* CListImpl::FindCell(int row, int id)
{
    return const_cast<CListCell*>(static_cast<const CListImpl*>(this)->FindCell(row, id));
}

BOOL CListImpl::SetItemText(int row, int id, LPCWSTR text)
{
    CListCell* cell = FindCell(row, id);
    if (!cell)
        return FALSE;
    try
    {
        cell->text = text ? text : L"";
    }
    catch (const std::bad_alloc&)
    {
        return FALSE;
    }
    return TRUE;
}

BOOL CListImpl::SetItemDate(int row, int id, const SYSTEMTIME& time)
{
    return SetItemText(row, id, FormatItemDate(time).c_str());
}

std::wstring CListImpl::GetItemText(int row, int id) const
{
    const CListCell* cell = FindCell(row, id);
    return cell ? cell->text : std::wstring();
}

BOOL CListImpl::GetItem(int row, int id, CListCell& copy) const
{
    const CListCell* cell = FindCell(row, id);
    if (!cell)
        return FALSE;
    copy = *cell;
    return TRUE;
}

BOOL CListImpl::SetItemColours(int row, int id, COLORREF background, COLORREF text)
{
    CListCell* cell = FindCell(row, id);
    if (!cell)
        return FALSE;
    cell->background = background;
    cell->textColour = text;
    return TRUE;
}

int CListImpl::GetItemImage(int row, int id) const
{
    const CListCell* cell = FindCell(row, id);
    return cell ? cell->image : -1;
}

UINT CListImpl::GetItemFormat(int row, int id) const
{
    const CListCell* cell = FindCell(row, id);
    if (!cell)
        return ITEM_FORMAT_NONE;
    return cell->format ? cell->format : GetColumnFormat(FindColumn(id));
}

UINT CListImpl::GetItemFlags(int row, int id) const
{
    const CListCell* cell = FindCell(row, id);
    if (!cell)
        return 0;
    return cell->flags ? cell->flags : GetColumnFlags(FindColumn(id));
}

BOOL CListImpl::GetItemComboList(int row, int id, CListStrings& items) const
{
    const CListCell* cell = FindCell(row, id);
    if (!cell)
        return FALSE;
    if (!cell->items.empty())
    {
        items = cell->items;
        return TRUE;
    }
    return GetColumnItems(FindColumn(id), items);
}

HFONT CListImpl::GetItemFont(int row, int id) const
{
    const CListCell* cell = FindCell(row, id);
    if (!cell)
        return nullptr;
    return cell->font ? cell->font : m_listFont.Get();
}

BOOL CListImpl::GetItemColours(int row, int id, COLORREF& background, COLORREF& text) const
{
    const CListCell* cell = FindCell(row, id);
    if (!cell)
        return FALSE;
    background = cell->background;
    text = cell->textColour;
    return TRUE;
}

BOOL CListImpl::GetItemDate(int row, int id, SYSTEMTIME& time) const
{
    const CListCell* cell = FindCell(row, id);
    return ParseItemDate(cell ? cell->text : std::wstring(), time);
}

std::wstring CListImpl::GetItemTipText(int row) const
{
    const CListRowBase* found = FindRowRecord(row);
    return found ? found->tipText : std::wstring();
}

// ---- Notification ----------------------------------------------------------------

LRESULT CListImpl::NotifyParent(int row, int position, int code)
{
    ListNotify notify{};
    notify.header.hwndFrom = m_hWnd;
    notify.header.idFrom = static_cast<UINT_PTR>(GetDlgCtrlID());
    notify.header.code = static_cast<UINT>(code);
    notify.row = row;
    notify.column = GetColumnId(position);
    return ::SendMessageW(GetParent(), WM_NOTIFY, notify.header.idFrom, reinterpret_cast<LPARAM>(&notify));
}
