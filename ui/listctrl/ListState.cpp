#include "ui/listctrl/ListState.h"
#include <algorithm>

int CListSelection::CurrentRow() const
{
    if (focusRow != -1 && IsSelected(focusRow))
        return focusRow;
    return rows.empty() ? -1 : *rows.begin();
}

void CListSelection::Clear()
{
    rows.clear();
    anchorRow = focusRow = focusColumn = -1;
}

bool HitTestColumns(const std::vector<CListColumn>& columns, int scroll, int x, int& position)
{
    const int count = static_cast<int>(columns.size());
    int right = -scroll;
    for (position = 0; position < count; ++position)
    {
        const int left = right;
        right += columns[position].width;
        if (right > x && left < x)
            return true;
    }
    return false;
}

bool HitTestDividers(const std::vector<CListColumn>& columns, int scroll, int x, int& position, UINT& bits)
{
    bits = 0;
    const int count = static_cast<int>(columns.size());
    int right = -scroll;
    for (int i = 0; i < count; ++i)
    {
        const int width = columns[i].width;
        right += width;
        if (x >= right - 5 && x <= right + 4)
        {
            position = i;
            bits = 0x1;
            if (x < right)
            {
                bits |= 0x2;
            }
            else if (i + 1 < count - 1)
            {
                while (position + 1 < count && columns[position + 1].width == 0)
                    ++position;
                bits |= 0x4;
            }
            else
            {
                bits |= 0x2;
            }
            return true;
        }
        if (right - width < x && x < right)
        {
            position = i;
            return true;
        }
    }
    return false;
}

bool ApplyClick(CListSelection& selection, int row, int position, UINT keyFlags, bool singleSelect, int count)
{
    const bool range = !singleSelect && (keyFlags & MK_SHIFT);
    const bool toggle = !range && (keyFlags & MK_CONTROL);
    bool add = false, notify = false;
    if (toggle)
    {
        if (singleSelect)
            selection.rows.clear();
        if (!selection.IsSelected(row))
        {
            add = true;
        }
        else
        {
            selection.rows.erase(row);
            selection.anchorRow = selection.focusRow = row;
            selection.focusColumn = selection.rows.size() <= 1 ? position : -1;
        }
    }
    else if (selection.rows.size() == 1 && selection.IsSelected(row))
    {
        selection.anchorRow = selection.focusRow = row;
        selection.focusColumn = position;
    }
    else
    {
        selection.rows.clear();
        if (range)
        {
            // An anchor left behind by deleted rows is held to the rows.
            if (selection.anchorRow < 0)
                selection.anchorRow = row;
            selection.anchorRow = std::min(selection.anchorRow, count - 1);
            for (int index = std::min(selection.anchorRow, row); index <= std::max(selection.anchorRow, row); ++index)
                selection.rows.insert(index);
            selection.focusColumn = selection.rows.size() == 1 ? position : -1;
            selection.focusRow = row;
            notify = true;
        }
        else
        {
            add = true;
        }
    }
    if (add)
    {
        selection.anchorRow = row;
        selection.rows.insert(row);
        selection.focusColumn = selection.rows.size() == 1 ? position : -1;
        selection.focusRow = row;
        notify = true;
    }
    return notify;
}

void SelectRowRange(CListSelection& selection, int top, int bottom, int count)
{
    selection.rows.clear();
    int first = -1, last = -1;
    for (int row = std::max(top, 0); row <= bottom && row < count; ++row)
    {
        selection.rows.insert(row);
        if (first == -1)
            first = row;
        last = row;
    }
    if (last != -1)
    {
        selection.focusRow = last;
        selection.focusColumn = -1;
    }
    selection.anchorRow = first;
}

int DropPositionAt(int x, int position, const RECT& column, int dragged)
{
    const int drop = x >= column.left + (column.right - column.left) / 2 ? position + 1 : position;
    return drop == dragged || drop == dragged + 1 ? -1 : drop;
}

void MoveColumn(std::vector<CListColumn>& columns, int from, int dropPosition)
{
    // The dragged column leaves its place and the later ones shift down by
    // one; it lands before the column that was at the drop position.
    const int count = static_cast<int>(columns.size());
    if (from < 0 || from >= count || dropPosition < 0)
        return;
    const int to = dropPosition > from ? std::min(dropPosition, count) - 1 : dropPosition;
    auto first = columns.begin();
    if (to < from)
        std::rotate(first + to, first + from, first + from + 1);
    else if (to > from)
        std::rotate(first + from, first + from + 1, first + to + 1);
}

void SortOrder(const std::vector<const std::wstring*>& texts, std::vector<int>& order)
{
    order.resize(texts.size());
    for (size_t index = 0; index < order.size(); ++index)
        order[index] = static_cast<int>(index);
    std::sort(order.begin(), order.end(), [&texts](int a, int b) { return *texts[a] < *texts[b]; });
}
