// What the main window hands the flash dispatcher for each device.
#pragma once
#include "jobs/DeviceReport.h"

// Nine NUL-terminated texts; the main window's settings block has the same
// layout (patterns and script names there, resolved paths in a filled one).
struct FlashParameters
{
    wchar_t FtBootScript[260];
    wchar_t NvBootScript[260];
    wchar_t Programmer[260];
    wchar_t BootImage[260];
    wchar_t KernelFlinger[260];
    wchar_t Provision[260];
    wchar_t RawFile[1560];
    wchar_t PatchFile[1560];
    wchar_t SearchPath[1040];
};

// Starts the job that fits the device; `job` always gets one (a job that
// reports finished and failed when none could be made).
void StartFlash(const wchar_t* deviceName, const FlashParameters* parameters, IDeviceReport** job);
