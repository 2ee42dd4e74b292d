#include "jobs/DiskDriveFlasher.h"

#include "engine/storage/DiskDevice.h"
#include "jobs/StatusReport.h"

HRESULT CDiskDriveFlasher::StartFlash(const wchar_t* deviceName, const wchar_t* rawprogramList,
                                      const wchar_t* patchList, const wchar_t* searchPath, IDeviceReport** out)
{
    return CreateJob<CDiskDriveFlasher>(L"CDiskDriveFlasher::StartFlash", out, [&](CDiskDriveFlasher& job) {
        job.m_rawprogramList = rawprogramList ? rawprogramList : L"";
        job.m_patchList = patchList ? patchList : L"";
        job.m_searchPath = searchPath ? searchPath : L"";
        job.StartFlash(deviceName);
    });
}

HRESULT CDiskDriveFlasher::DoWork()
{
    const wchar_t* name = L"CDiskDriveFlasher::DoWork";
    ComPtr<CStatusReport<CDiskDriveFlasher>> sink;
    HRESULT hr = CStatusReport<CDiskDriveFlasher>::CreateInstance(this, &sink);
    RETURN_IF_FAILED(hr, name, __LINE__);
    std::wstring deviceName = GetDeviceName();
    hr = DownloadImagesToDisk(deviceName.c_str(), m_rawprogramList.c_str(), m_patchList.c_str(), m_searchPath.c_str(),
                              sink.Get());
    // Whoever still holds the sink no longer reaches this job.
    sink->Detach(); // the sink's own Detach: the pointer keeps its reference
    return LogError(hr, name, __LINE__);
}

void CDiskDriveFlasher::OnNewStatus(LONG, BSTR, BSTR status2)
{
    Log(L"%s", status2 ? status2 : L"");
    AddProgress(StatusProgress);
}
