// The phone's storage seen as a disk: a storage target that takes the disk
// away from Windows (every volume locked and dismounted, the drive layout
// deleted), writes image sectors and patches straight to it and evaluates
// rawprogram and patch expressions against it.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include <wrl/client.h>

#include "engine/StatusReport.h"
#include "engine/storage/DiskAccess.h"
#include "engine/storage/QDevice.h"
#include "platform/ComObject.h"

namespace mu
{
class Parser;
}

class CDiskDevice : public IQDevice, public CComObjectRoot
{
public:
    // Makes the target for `diskName` and resets it. The device goes through
    // the disk access installed at this moment (GetDiskAccess).
    static HRESULT CreateInstance(const wchar_t* diskName, IQStatusReport* sink, IQDevice** device);

    BEGIN_COM_MAP(CDiskDevice)
    COM_INTERFACE_ENTRY(IQDevice)
    END_COM_MAP()

    HRESULT STDMETHODCALLTYPE WriteFile(const wchar_t* startSector, const wchar_t* numPartitionSectors,
                                        const wchar_t* path, const wchar_t* fileSectorOffset,
                                        const wchar_t* byteOffset, const wchar_t* sectorSize,
                                        const wchar_t* physicalPartition) override;
    HRESULT STDMETHODCALLTYPE ApplyPatch(const wchar_t* startSector, const wchar_t* byteOffset, const wchar_t* value,
                                         const wchar_t* sizeInBytes, const wchar_t* sectorSize,
                                         const wchar_t* physicalPartition) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    // A disk needs neither: both succeed without effect.
    HRESULT STDMETHODCALLTYPE Provision(const wchar_t* provisionPath) override;
    HRESULT STDMETHODCALLTYPE SetBootableStorageDrive() override;

    // Locks and dismounts every volume that the co-installer lists for the
    // disk; the volumes stay locked until the next Reset or the end.
    HRESULT DismountDiskVolume();
    HRESULT DeleteDiskLayout();
    // Evaluates an attribute expression that may use NUM_DISK_SECTORS (the
    // disk's length in 512-byte sectors) and CRC32(start sector, byte count).
    HRESULT ParseXmlAttrValue(const wchar_t* expression, ULONGLONG& value);
    // The CRC-32 of `byteCount` bytes of the disk from `startSector` (in
    // units of 512 bytes), read as whole sectors in pieces of at most 256
    // sectors. Called while an expression of this device is being evaluated;
    // sectors past the disk's end (refused before any read) or a failed read
    // end the evaluation with a parser error.
    double CRC32(double startSector, double byteCount);

protected:
    CDiskDevice();
    ~CDiskDevice();

private:
    void CloseHandles();

    DiskAccess& m_access;
    std::wstring m_path;
    CDiskHandle m_disk;
    std::vector<CDiskHandle> m_volumes; // locked and dismounted
    Microsoft::WRL::ComPtr<IQStatusReport> m_sink;
};

// Writes every rawprogram file of `rawprogramList` and applies its patch
// file of `patchList` to the disk `diskName`.
HRESULT DownloadImagesToDisk(const wchar_t* diskName, const wchar_t* rawprogramList, const wchar_t* patchList,
                             const wchar_t* searchPath, IQStatusReport* sink);
