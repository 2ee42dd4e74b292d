// The storage target that a download writes to: a Firehose programmer over
// the serial port or the phone's storage seen as a disk.
#pragma once
#include <windows.h>
#include <unknwn.h>

// {DB1EC4DE-9D39-437E-BB7C-8A9A75071497}
inline constexpr IID IID_IQDevice = {0xdb1ec4de, 0x9d39, 0x437e, {0xbb, 0x7c, 0x8a, 0x9a, 0x75, 0x07, 0x14, 0x97}};

// Every text argument except a file path is an attribute expression, given
// as the rawprogram or patch file holds it.
struct IQDevice : public IUnknown
{
    // Writes the sectors of one image file, from file_sector_offset sectors
    // plus `byteOffset` bytes into the file, to `startSector` on the storage.
    // num_partition_sectors 0 means no limit.
    virtual HRESULT STDMETHODCALLTYPE WriteFile(const wchar_t* startSector, const wchar_t* numPartitionSectors,
                                                const wchar_t* path, const wchar_t* fileSectorOffset,
                                                const wchar_t* byteOffset, const wchar_t* sectorSize,
                                                const wchar_t* physicalPartition) = 0;
    // Stores `value` in `sizeInBytes` bytes at `byteOffset` of one sector.
    virtual HRESULT STDMETHODCALLTYPE ApplyPatch(const wchar_t* startSector, const wchar_t* byteOffset,
                                                 const wchar_t* value, const wchar_t* sizeInBytes,
                                                 const wchar_t* sectorSize, const wchar_t* physicalPartition) = 0;
    // (Re)opens the target and brings it into a state that accepts writes.
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Provision(const wchar_t* provisionPath) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetBootableStorageDrive() = 0;
};

#ifdef __CRT_UUID_DECL
__CRT_UUID_DECL(IQDevice, 0xdb1ec4de, 0x9d39, 0x437e, 0xbb, 0x7c, 0x8a, 0x9a, 0x75, 0x07, 0x14, 0x97)
#endif

// {FAC77EC6-2D19-421B-8D47-420CA782F2E0}
inline constexpr IID IID_IQDeviceSync = {0xfac77ec6, 0x2d19, 0x421b, {0x8d, 0x47, 0x42, 0x0c, 0xa7, 0x82, 0xf2, 0xe0}};

// A target that hears its answers over a stream without command ids: before
// a pair of rawprogram and patch files counts as written, Synchronize makes
// sure that no answer to the pair's commands is still on its way, where it
// could be taken for the answer to a later command.
struct IQDeviceSync : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE Synchronize() = 0;
};

#ifdef __CRT_UUID_DECL
__CRT_UUID_DECL(IQDeviceSync, 0xfac77ec6, 0x2d19, 0x421b, 0x8d, 0x47, 0x42, 0x0c, 0xa7, 0x82, 0xf2, 0xe0)
#endif
