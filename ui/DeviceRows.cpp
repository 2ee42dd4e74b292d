#include "ui/DeviceRows.h"

bool CDeviceRows::IsReported(int row) const
{
    return row >= 0 && static_cast<size_t>(row) < m_reported.size() && m_reported[static_cast<size_t>(row)];
}

void CDeviceRows::SetReported(int row)
{
    if (row < 0 || row >= GetItemCount())
        return;
    if (static_cast<size_t>(row) >= m_reported.size())
        m_reported.resize(static_cast<size_t>(row) + 1, false);
    m_reported[static_cast<size_t>(row)] = true;
}

BOOL CDeviceRows::AppendRow(CListRowBase&& record)
{
    if (!CListCtrlData::AppendRow(std::move(record)))
        return FALSE;
    m_reported.resize(static_cast<size_t>(GetItemCount()), false); // the new row is unreported
    return TRUE;
}

void CDeviceRows::RemoveRow(int row)
{
    CListCtrlData::RemoveRow(row);
    if (static_cast<size_t>(row) < m_reported.size())
        m_reported.erase(m_reported.begin() + row);
}

BOOL CDeviceRows::ReorderRows(const std::vector<int>& order)
{
    std::vector<bool> marks(order.size(), false);
    for (size_t i = 0; i < order.size(); ++i)
        marks[i] = IsReported(order[i]);
    if (!CListCtrlData::ReorderRows(order))
        return FALSE;
    m_reported.swap(marks);
    return TRUE;
}
