// The job for a phone whose storage shows up as a disk: the engine writes the
// rawprogram images and applies the patches with disk I/O, reporting each
// step through the job's status sink.
#pragma once
#include "jobs/DeviceReport.h"

class CDiskDriveFlasher : public CDeviceReport
{
public:
    static HRESULT StartFlash(const wchar_t* deviceName, const wchar_t* rawprogramList, const wchar_t* patchList,
                              const wchar_t* searchPath, IDeviceReport** out);
    using CDeviceReport::StartFlash;

    HRESULT DoWork() override;
    // A status text of the engine: logged as it is, and a small step of progress.
    void OnNewStatus(LONG id, BSTR status1, BSTR status2);

    // Progress that each status text adds, in percent.
    static constexpr double StatusProgress = 0.004;

protected:
    // Set once by the creator, unchanged for the job's life.
    std::wstring m_rawprogramList;
    std::wstring m_patchList;
    std::wstring m_searchPath;
};
