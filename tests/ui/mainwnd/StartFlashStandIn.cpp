// Until the flash dispatcher lands in the jobs library, the main window's
// tests start fastboot jobs through this minimal dispatcher of their own.
#include "jobs/ScriptReport.h"
#include "services/CoInstaller.h"
#include "ui/MainFlash.h"

void StartFlash(const wchar_t* deviceName, const FlashParameters* parameters, IDeviceReport** job)
{
    *job = nullptr;
    if (deviceName && parameters && GetDeviceType(deviceName) == DeviceTypeFastBoot &&
        SUCCEEDED(CFastBootFlasher::StartFlash(deviceName, parameters->FtBootScript, job)))
        return;
    COOMReport::GetInstance(job);
}
