#include "jobs/StartFlash.h"

#include "jobs/DiskDriveFlasher.h"
#include "jobs/EmergencyFlasher.h"
#include "jobs/IntelDNXFlasher.h"
#include "jobs/ScriptReport.h"
#include "services/CoInstaller.h"

#include <cwchar>
#include <string>

namespace
{

// A field's text, never read past the field's end even without its NUL.
template <size_t N> std::wstring Field(const wchar_t (&field)[N])
{
    return std::wstring(field, wcsnlen(field, N));
}

// Makes and starts the job of one device type; E_INVALIDARG for a type that
// has no job.
HRESULT StartJob(int type, const wchar_t* deviceName, const FlashParameters& p, IDeviceReport** job)
{
    switch (type)
    {
    case DeviceTypeEmergency:
        return CEmergencyFlasher::StartFlash(deviceName, Field(p.Programmer).c_str(), Field(p.BootImage).c_str(),
                                             Field(p.Provision).c_str(), Field(p.RawFile).c_str(),
                                             Field(p.PatchFile).c_str(), Field(p.SearchPath).c_str(), job);
    case DeviceTypeDiskDrive:
        return CDiskDriveFlasher::StartFlash(deviceName, Field(p.RawFile).c_str(), Field(p.PatchFile).c_str(),
                                             Field(p.SearchPath).c_str(), job);
    case DeviceTypeFastBoot:
        return CFastBootFlasher::StartFlash(deviceName, Field(p.FtBootScript).c_str(), job);
    case DeviceTypeNvBoot:
        return CNvBootFlasher::StartFlash(deviceName, Field(p.NvBootScript).c_str(), job);
    case DeviceTypeIntelDNX:
        return CIntelDNXFlasher::StartFlash(deviceName, Field(p.KernelFlinger).c_str(), Field(p.FtBootScript).c_str(),
                                            job);
    default:
        return E_INVALIDARG;
    }
}

} // namespace

void StartFlash(const wchar_t* deviceName, const FlashParameters* parameters, IDeviceReport** job)
{
    if (!job)
    {
        LogError(E_POINTER, L"StartFlash", __LINE__);
        return;
    }
    *job = nullptr;
    HRESULT hr = E_INVALIDARG;
    if (deviceName && parameters)
    {
        for (int attempt = 0; attempt < 4 && FAILED(hr); ++attempt)
        {
            int type = GetDeviceType(deviceName);
            if (type >= static_cast<int>(DeviceTypeEmergency) && type <= static_cast<int>(DeviceTypeIntelDNX))
                hr = StartJob(type, deviceName, *parameters, job);
            if (FAILED(hr))
            {
                LogError(hr, L"StartFlash", __LINE__);
                WriteLog(L"start flash failed");
            }
        }
    }
    if (FAILED(hr))
    {
        LogError(hr, L"StartFlash", __LINE__);
        WriteLog(L"can't start flash");
        COOMReport::GetInstance(job);
    }
}
