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

// A handle that a DiskAccess opened, closed through the same access when the
// owner lets go of it.
class CDiskHandle
{
public:
    CDiskHandle() = default;
    CDiskHandle(DiskAccess& access, HANDLE handle) : m_access(&access), m_handle(handle) {}
    ~CDiskHandle() { Reset(); }
    CDiskHandle(const CDiskHandle&) = delete;
    CDiskHandle& operator=(const CDiskHandle&) = delete;
    CDiskHandle(CDiskHandle&& other) noexcept : m_access(other.m_access), m_handle(other.m_handle)
    {
        other.m_handle = INVALID_HANDLE_VALUE;
    }
    CDiskHandle& operator=(CDiskHandle&& other) noexcept
    {
        if (this != &other)
        {
            Reset();
            m_access = other.m_access;
            m_handle = other.m_handle;
            other.m_handle = INVALID_HANDLE_VALUE;
        }
        return *this;
    }

    HANDLE Get() const { return m_handle; }
    void Reset()
    {
        if (m_handle != INVALID_HANDLE_VALUE)
            m_access->Close(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
    }

private:
    DiskAccess* m_access = nullptr;
    HANDLE m_handle = INVALID_HANDLE_VALUE;
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
