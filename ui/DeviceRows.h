// The main window's device rows: a list whose item data is each row's job
// (empty for an idle row).
#pragma once
#include "jobs/DeviceReport.h"
#include "ui/listctrl/ListCtrlData.h"

#include <wrl/client.h>
#include <vector>

// Each row also carries whether its finished job has been
// reported to the controller: the mark moves with its row when the list is
// sorted and goes with it when the row is deleted, whatever job the row
// holds (rows that could not start all share the never-started job).
class CDeviceRows : public CListCtrlData<Microsoft::WRL::ComPtr<IDeviceReport>>
{
public:
    bool IsReported(int row) const;
    void SetReported(int row);

protected:
    BOOL AppendRow(CListRowBase&& record) override;
    void RemoveRow(int row) override;
    BOOL ReorderRows(const std::vector<int>& order) override;

private:
    std::vector<bool> m_reported; // by row; rows past its end are unreported
};
