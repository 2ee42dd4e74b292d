// The one entry through which a device gets its flash job: the device type
// that the co-installer reports picks the job class.
#pragma once
#include "jobs/DeviceReport.h"

// What a flash job may need, filled by the main window for each device (its
// settings block has the same layout). Every field is NUL-terminated wide
// text of a fixed width.
struct FlashParameters
{
    wchar_t FtBootScript[260];  // fastboot script
    wchar_t NvBootScript[260];  // nvflash script
    wchar_t Programmer[260];    // flash programmer
    wchar_t BootImage[260];     // boot image of the mini kernel
    wchar_t KernelFlinger[260]; // kernelflinger image
    wchar_t Provision[260];     // UFS provision file
    wchar_t RawFile[1560];      // ";" list of rawprogram files
    wchar_t PatchFile[1560];    // ";" list of patch files
    wchar_t SearchPath[1040];   // ";" list of image folders
};
static_assert(sizeof(FlashParameters) == 5720 * sizeof(wchar_t), "FlashParameters is 5720 wide characters");

// Starts the job for `deviceName` and hands it out through `job` with one
// reference. When no job can be made, the never-started job is handed out,
// so a row always gets one. `parameters` is only read.
void StartFlash(const wchar_t* deviceName, const FlashParameters* parameters, IDeviceReport** job);
