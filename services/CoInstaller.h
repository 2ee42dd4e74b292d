// Queries answered by the device co-installer, each run as
// "rundll32.exe qcCoInstaller.dll,<entry> <arguments>" with its standard
// output read back.
#pragma once
#include "services/FileSearch.h"
#include "services/Process.h"

#include <memory>
#include <string>

// Device type code of the named device (1 emergency download port, 2 disk,
// 3 fastboot, 4 NVIDIA recovery, 5 Intel DNX); 0 when none.
int GetDeviceType(const wchar_t* deviceName);
// Index that the co-installer gives the named device; 0 when none.
int GetDeviceIndex(const wchar_t* deviceName);
// The device's current name under the given type, as printed; empty when none.
std::wstring GetDeviceName(UINT deviceIndex, UINT deviceType);
// The attached devices' names; on failure `list` is left as it was.
HRESULT GetDeviceList(StringList& list);
// The disk's volume names; on failure `list` is left as it was.
HRESULT GetVolumeList(const wchar_t* deviceName, StringList& list);
// Lets the co-installer set itself up after the serial driver is installed.
HRESULT InitializeSetting();
// The device monitor, running until the returned object is destroyed.
std::unique_ptr<CAutoExecutor> StartDeviceMonitor();
