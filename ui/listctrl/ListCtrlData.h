// The rows of the owner-drawn list: each row holds one cell per column
// (indexed by column id) and one value of TItem as its item data. TItem is
// a counted reference such as a ComPtr: copying it adds a reference,
// destroying it releases one.
#pragma once
#include "ui/listctrl/ListImpl.h"
#include <algorithm>
#include <new>
#include <vector>

template <class TItem>
class CListCtrlData : public CListImpl<CListCtrlData<TItem>>
{
public:
    using Row = CListRow<TItem>;

    ~CListCtrlData() override
    {
        // The window first, while the rows still answer its messages; then
        // the rows with their item data.
        if (this->m_hWnd)
            this->DestroyWindow();
        m_rows.clear();
    }

    int GetItemCount() const { return static_cast<int>(m_rows.size()); }

    const Row* FindRow(int row) const
    {
        return row >= 0 && row < GetItemCount() ? &m_rows[static_cast<size_t>(row)] : nullptr;
    }
    Row* FindRow(int row)
    {
        return row >= 0 && row < GetItemCount() ? &m_rows[static_cast<size_t>(row)] : nullptr;
    }
    const CListCell* FindCell(int row, int id) const
    {
        const Row* found = FindRow(row);
        return found && id >= 0 && id < static_cast<int>(found->cells.size()) ? &found->cells[static_cast<size_t>(id)]
                                                                              : nullptr;
    }
    CListCell* FindCell(int row, int id)
    {
        Row* found = FindRow(row);
        return found && id >= 0 && id < static_cast<int>(found->cells.size()) ? &found->cells[static_cast<size_t>(id)]
                                                                              : nullptr;
    }

    // A row with one cell per column; the first cell gets text and image.
    // The new index, or -1 without columns or memory.
    int AddItem(LPCWSTR text, int image = -1, UINT format = ITEM_FORMAT_NONE, UINT flags = 0)
    {
        const int columns = this->GetColumnCount();
        if (columns == 0 || m_rows.size() >= kMaxListRows || static_cast<size_t>(columns) > kMaxListCells)
            return -1;
        try {
            Row row;
            CListCell cell;
            cell.format = format;
            cell.flags = NormaliseFlags(flags);
            cell.background = ::GetSysColor(COLOR_WINDOW);
            cell.textColour = ::GetSysColor(COLOR_WINDOWTEXT);
            row.cells.assign(static_cast<size_t>(columns), cell);
            row.cells[0].text = text ? text : L"";
            row.cells[0].image = image;
            m_rows.push_back(std::move(row));
        } catch (const std::bad_alloc&) {
            return -1;
        }
        this->ResetScrollBars(SB_BOTH, -1, FALSE);
        return GetItemCount() - 1;
    }

    // Appends a copy of a row (its item data gains a reference).
    int AddRow(const Row& row)
    {
        if (m_rows.size() >= kMaxListRows)
            return -1;
        try {
            m_rows.push_back(row);
        } catch (const std::bad_alloc&) {
            return -1;
        }
        this->ResetScrollBars(SB_BOTH, -1, FALSE);
        return GetItemCount() - 1;
    }

    BOOL DeleteItem(int row)
    {
        if (!FindRow(row))
            return FALSE;
        m_rows.erase(m_rows.begin() + row);
        this->m_selection.erase(row);
        this->ResetScrollBars(SB_BOTH, -1, FALSE);
        return TRUE;
    }

    BOOL GetRow(int row, Row& copy) const
    {
        const Row* found = FindRow(row);
        if (!found)
            return FALSE;
        copy = *found;
        return TRUE;
    }

    BOOL SetItemText(int row, int id, LPCWSTR text)
    {
        CListCell* cell = FindCell(row, id);
        if (!cell)
            return FALSE;
        try {
            cell->text = text ? text : L"";
        } catch (const std::bad_alloc&) {
            return FALSE;
        }
        return TRUE;
    }

    BOOL SetItemDate(int row, int id, const SYSTEMTIME& time)
    {
        return SetItemText(row, id, FormatItemDate(time).c_str());
    }

    std::wstring GetItemText(int row, int id) const
    {
        const CListCell* cell = FindCell(row, id);
        return cell ? cell->text : std::wstring();
    }

    BOOL GetItem(int row, int id, CListCell& copy) const
    {
        const CListCell* cell = FindCell(row, id);
        if (!cell)
            return FALSE;
        copy = *cell;
        return TRUE;
    }

    // No redraw: the caller redraws.
    BOOL SetItemColours(int row, int id, COLORREF background, COLORREF text)
    {
        CListCell* cell = FindCell(row, id);
        if (!cell)
            return FALSE;
        cell->background = background;
        cell->textColour = text;
        return TRUE;
    }

    BOOL SetItemData(int row, const TItem& data)
    {
        Row* found = FindRow(row);
        if (!found)
            return FALSE;
        if (!SameItem(found->itemData, data, 0))
            found->itemData = data;
        return TRUE;
    }

    // A counted copy of the row's item data; out untouched when out of range.
    BOOL GetItemData(int row, TItem& data) const
    {
        const Row* found = FindRow(row);
        if (!found)
            return FALSE;
        data = found->itemData;
        return TRUE;
    }

    // Orders the rows by the texts of one column (code unit by code unit;
    // not stable). Rows move whole, item data references with them.
    void SortRows(int id)
    {
        std::sort(m_rows.begin(), m_rows.end(),
                  [id](const Row& a, const Row& b) { return CellText(a, id) < CellText(b, id); });
    }
    void ReverseRows() { std::reverse(m_rows.begin(), m_rows.end()); }

protected:
    static const std::wstring& CellText(const Row& row, int id)
    {
        return id >= 0 && static_cast<size_t>(id) < row.cells.size() ? row.cells[static_cast<size_t>(id)].text
                                                                      : CListImpl<CListCtrlData<TItem>>::EmptyText();
    }

    // Smart pointers compare what they point to (a ComPtr's == would
    // compare its conversion to bool).
    template <class U>
    static auto SameItem(const U& a, const U& b, int) -> decltype(a.Get() == b.Get())
    {
        return a.Get() == b.Get();
    }
    template <class U>
    static bool SameItem(const U& a, const U& b, long)
    {
        return a == b;
    }

    std::vector<Row> m_rows;
};
