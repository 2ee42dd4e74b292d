// The few disk and volume operations with which the disk target takes a
// phone's storage away from Windows and writes it. Everything the disk
// target does to a device goes through one `DiskAccess`, so that the whole
// target can run over a stand-in disk where no real one can be attached.
#pragma once
#include <windows.h>

class DiskAccess
{
public:
    virtual ~DiskAccess() = default;

    // Opens the disk for reading and writing, sharing both.
    virtual HRESULT OpenDisk(const wchar_t* path, HANDLE* disk) = 0;
    // Opens a volume for writing, sharing reading and writing.
    virtual HRESULT OpenVolume(const wchar_t* path, HANDLE* volume) = 0;
    virtual HRESULT LockVolume(HANDLE volume) = 0;
    virtual HRESULT DismountVolume(HANDLE volume) = 0;
    // Closes a handle that OpenDisk or OpenVolume gave; closing a locked
    // volume ends its lock.
    virtual void Close(HANDLE handle) = 0;
    virtual HRESULT DeleteLayout(HANDLE disk) = 0;
    virtual HRESULT UpdateProperties(HANDLE disk) = 0;
    virtual HRESULT GetLength(HANDLE disk, ULONGLONG* bytes) = 0;
    // The whole count at a byte position, retried; the bytes are dumped.
    virtual HRESULT Read(HANDLE disk, void* buffer, DWORD count, ULONGLONG position) = 0;
    virtual HRESULT Write(HANDLE disk, const void* buffer, DWORD count, ULONGLONG position) = 0;
};

// The platform's own disk and volume calls.
class CWin32DiskAccess : public DiskAccess
{
public:
    HRESULT OpenDisk(const wchar_t* path, HANDLE* disk) override;
    HRESULT OpenVolume(const wchar_t* path, HANDLE* volume) override;
    HRESULT LockVolume(HANDLE volume) override;
    HRESULT DismountVolume(HANDLE volume) override;
    void Close(HANDLE handle) override;
    HRESULT DeleteLayout(HANDLE disk) override;
    HRESULT UpdateProperties(HANDLE disk) override;
    HRESULT GetLength(HANDLE disk, ULONGLONG* bytes) override;
    HRESULT Read(HANDLE disk, void* buffer, DWORD count, ULONGLONG position) override;
    HRESULT Write(HANDLE disk, const void* buffer, DWORD count, ULONGLONG position) override;
};

// The access that disk targets made from now on use: the platform's unless
// another was installed. Installing null restores the platform's. Returns
// the access installed before.
DiskAccess* SetDiskAccess(DiskAccess* access);
DiskAccess& GetDiskAccess();
