#include "engine/storage/DiskAccess.h"

#include <winioctl.h>

#include <atomic>

#include "engine/EngineIo.h"
#include "services/Log.h"

static_assert(FSCTL_LOCK_VOLUME == 0x90018 && FSCTL_DISMOUNT_VOLUME == 0x90020, "volume controls");
static_assert(IOCTL_DISK_DELETE_DRIVE_LAYOUT == 0x7C100 && IOCTL_DISK_UPDATE_PROPERTIES == 0x70140 &&
                  IOCTL_DISK_GET_LENGTH_INFO == 0x7405C,
              "disk controls");

namespace
{

HRESULT OpenDevice(const wchar_t* path, DWORD access, HANDLE* handle)
{
    *handle = CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    return *handle == INVALID_HANDLE_VALUE ? LastErrorHResult() : S_OK;
}

HRESULT Control(HANDLE handle, DWORD code, void* out = nullptr, DWORD outSize = 0)
{
    DWORD returned = 0;
    return DeviceIoControl(handle, code, nullptr, 0, out, outSize, &returned, nullptr) ? S_OK : LastErrorHResult();
}

// The retrying reads and writes take -1 as "no position": keep every real
// position clear of it and of the other negative values.
HRESULT CheckPosition(ULONGLONG position)
{
    return position > static_cast<ULONGLONG>(MAXLONGLONG) ? HResultFromWin32(ERROR_NEGATIVE_SEEK) : S_OK;
}

std::atomic<DiskAccess*> g_access{nullptr};

} // namespace

HRESULT CWin32DiskAccess::OpenDisk(const wchar_t* path, HANDLE* disk)
{
    return OpenDevice(path, GENERIC_READ | GENERIC_WRITE, disk);
}

HRESULT CWin32DiskAccess::OpenVolume(const wchar_t* path, HANDLE* volume)
{
    return OpenDevice(path, GENERIC_WRITE, volume);
}

HRESULT CWin32DiskAccess::LockVolume(HANDLE volume)
{
    return Control(volume, FSCTL_LOCK_VOLUME);
}

HRESULT CWin32DiskAccess::DismountVolume(HANDLE volume)
{
    return Control(volume, FSCTL_DISMOUNT_VOLUME);
}

void CWin32DiskAccess::Close(HANDLE handle)
{
    CloseHandle(handle);
}

HRESULT CWin32DiskAccess::DeleteLayout(HANDLE disk)
{
    return Control(disk, IOCTL_DISK_DELETE_DRIVE_LAYOUT);
}

HRESULT CWin32DiskAccess::UpdateProperties(HANDLE disk)
{
    return Control(disk, IOCTL_DISK_UPDATE_PROPERTIES);
}

HRESULT CWin32DiskAccess::GetLength(HANDLE disk, ULONGLONG* bytes)
{
    GET_LENGTH_INFORMATION info = {};
    HRESULT hr = Control(disk, IOCTL_DISK_GET_LENGTH_INFO, &info, sizeof(info));
    if (SUCCEEDED(hr))
        *bytes = static_cast<ULONGLONG>(info.Length.QuadPart);
    return hr;
}

HRESULT CWin32DiskAccess::Read(HANDLE disk, void* buffer, DWORD count, ULONGLONG position)
{
    HRESULT hr = CheckPosition(position);
    return FAILED(hr) ? hr : ReadRobust(disk, buffer, count, static_cast<LONGLONG>(position));
}

HRESULT CWin32DiskAccess::Write(HANDLE disk, const void* buffer, DWORD count, ULONGLONG position)
{
    HRESULT hr = CheckPosition(position);
    return FAILED(hr) ? hr : WriteRobust(disk, buffer, count, static_cast<LONGLONG>(position));
}

DiskAccess* SetDiskAccess(DiskAccess* access)
{
    return g_access.exchange(access);
}

DiskAccess& GetDiskAccess()
{
    static CWin32DiskAccess platform;
    DiskAccess* access = g_access.load();
    return access ? *access : platform;
}
