// The rows of the owner-drawn list: each row holds one cell per column
// (indexed by column id) and one value of TItem as its item data. TItem is
// a counted reference such as a ComPtr: copying it adds a reference,
// destroying it releases one.
#pragma once
#include "ui/listctrl/ListImpl.h"
#include <new>
#include <vector>

template <class TItem> class CListCtrlData : public CListImpl
{
public:
    using Row = CListRow<TItem>;

    ~CListCtrlData() override
    {
        // The window first, while the rows still answer its messages; then
        // the rows with their item data.
        if (m_hWnd)
            DestroyWindow();
        m_rows.clear();
    }

    int GetItemCount() const override { return static_cast<int>(m_rows.size()); }

    const Row* FindRow(int row) const
    {
        return row >= 0 && row < GetItemCount() ? &m_rows[static_cast<size_t>(row)] : nullptr;
    }
    Row* FindRow(int row) { return row >= 0 && row < GetItemCount() ? &m_rows[static_cast<size_t>(row)] : nullptr; }

    // Appends a copy of a row (its item data gains a reference).
    int AddRow(const Row& row)
    {
        if (m_rows.size() >= kMaxListRows)
            return -1;
        try
        {
            m_rows.push_back(row);
        }
        catch (const std::bad_alloc&)
        {
            return -1;
        }
        ResetScrollBars(SB_BOTH, -1, FALSE);
        return GetItemCount() - 1;
    }

    BOOL GetRow(int row, Row& copy) const
    {
        const Row* found = FindRow(row);
        if (!found)
            return FALSE;
        copy = *found;
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

protected:
    const CListRowBase* FindRowRecord(int row) const override { return FindRow(row); }

    BOOL AppendRow(CListRowBase&& record) override
    {
        if (m_rows.size() >= kMaxListRows)
            return FALSE;
        try
        {
            Row row;
            static_cast<CListRowBase&>(row) = std::move(record);
            m_rows.push_back(std::move(row));
        }
        catch (const std::bad_alloc&)
        {
            return FALSE;
        }
        return TRUE;
    }

    void RemoveRow(int row) override { m_rows.erase(m_rows.begin() + row); }

    BOOL ReorderRows(const std::vector<int>& order) override
    {
        std::vector<Row> reordered;
        try
        {
            reordered.reserve(m_rows.size());
        }
        catch (const std::bad_alloc&)
        {
            return FALSE;
        }
        // Rows move whole: their item data references are moved, not copied.
        for (int index : order)
            reordered.push_back(std::move(m_rows[static_cast<size_t>(index)]));
        m_rows.swap(reordered);
        return TRUE;
    }

    // Smart pointers compare what they point to (a ComPtr's == would
    // compare its conversion to bool).
    template <class U> static auto SameItem(const U& a, const U& b, int) -> decltype(a.Get() == b.Get())
    {
        return a.Get() == b.Get();
    }
    template <class U> static bool SameItem(const U& a, const U& b, long) { return a == b; }

    std::vector<Row> m_rows;
};
