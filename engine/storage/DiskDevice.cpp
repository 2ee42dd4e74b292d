#include "engine/storage/DiskDevice.h"

#include "engine/images/MuParser.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "engine/Crc.h"
#include "engine/EngineIo.h"
#include "engine/images/AttrExpression.h"
#include "engine/images/ImageCache.h"
#include "engine/images/RawProgram.h"
#include "engine/protocols/LoaderSupport.h"
#include "services/CoInstaller.h"
#include "services/Log.h"

using Microsoft::WRL::ComPtr;

namespace
{

// Patches and CRC32 address the disk in sectors of this size, whatever the
// rawprogram and patch files give as their sector size.
constexpr ULONGLONG kDiskSectorSize = 512;
// Image data goes to the disk in writes of at most this many sectors.
constexpr ULONGLONG kSectorsPerWrite = 256;
// Checksums read the disk in pieces of this many bytes at most.
constexpr ULONGLONG kBytesPerCrcRead = kSectorsPerWrite * kDiskSectorSize;
// The largest sector size whose write of kSectorsPerWrite still fits a
// 32-bit count.
constexpr ULONGLONG kMaxSectorSize = 0xFFFFFFFFull / kSectorsPerWrite;

// The device whose expression this thread is evaluating, for CRC32.
thread_local CDiskDevice* t_currentDevice = nullptr;

class CCurrentDevice
{
public:
    explicit CCurrentDevice(CDiskDevice* device) : m_previous(t_currentDevice) { t_currentDevice = device; }
    ~CCurrentDevice() { t_currentDevice = m_previous; }
    CCurrentDevice(const CCurrentDevice&) = delete;
    CCurrentDevice& operator=(const CCurrentDevice&) = delete;

private:
    CDiskDevice* m_previous;
};

double DiskCrc32(double startSector, double byteCount)
{
    if (!t_currentDevice)
        throw mu::ParserError();
    return t_currentDevice->CRC32(startSector, byteCount);
}

// The byte position of `sector` in units of `sectorSize`, when it is one
// that a disk position can hold.
bool SectorPosition(ULONGLONG sector, ULONGLONG sectorSize, ULONGLONG& position)
{
    if (sectorSize != 0 && sector > static_cast<ULONGLONG>(MAXLONGLONG) / sectorSize)
        return false;
    position = sector * sectorSize;
    return true;
}

struct Attribute
{
    const wchar_t* text;
    ULONGLONG* value;
};

} // namespace

// Every operation runs under RunLoad, so that a status text or buffer that
// cannot be allocated becomes its result instead of leaving the call.
CDiskDevice::CDiskDevice() : m_access(GetDiskAccess()) {}

CDiskDevice::~CDiskDevice()
{
    m_sink.Reset();
    CloseHandles();
}

HRESULT CDiskDevice::CreateInstance(const wchar_t* diskName, IQStatusReport* sink, IQDevice** device)
{
    const wchar_t* name = L"CDiskDevice::CreateInstance";
    return RunLoad(name, [&] {
        HRESULT hr = MakeComObject<CDiskDevice>(device, [&](CDiskDevice& object) {
            if (!diskName)
                return E_INVALIDARG;
            object.m_path = diskName;
            object.m_sink = sink;
            return object.Reset();
        });
        return LogError(hr, name, __LINE__);
    });
}

void CDiskDevice::CloseHandles()
{
    // The volumes in the order they were locked, then the disk.
    for (CDiskHandle& volume : m_volumes)
        volume.Reset();
    m_volumes.clear();
    m_disk.Reset();
}

HRESULT CDiskDevice::Reset()
{
    const wchar_t* name = L"CDiskDevice::Reset";
    return RunLoad(name, [&] {
        CloseHandles();
        HRESULT hr = DismountDiskVolume();
        RETURN_IF_FAILED(hr, name, __LINE__);
        ReportStatus(m_sink.Get(), L"Open disk \"%s\"", m_path.c_str());
        HANDLE disk = INVALID_HANDLE_VALUE;
        hr = m_access.OpenDisk(m_path.c_str(), &disk);
        RETURN_IF_FAILED(hr, name, __LINE__);
        m_disk = CDiskHandle(m_access, disk);
        return LogError(DeleteDiskLayout(), name, __LINE__);
    });
}

HRESULT CDiskDevice::DismountDiskVolume()
{
    const wchar_t* name = L"CDiskDevice::DismountDiskVolume";
    return RunLoad(name, [&] {
        StringList volumes;
        HRESULT hr = GetVolumeList(m_path.c_str(), volumes);
        RETURN_IF_FAILED(hr, name, __LINE__);
        for (const std::wstring& path : volumes)
        {
            ReportStatus(m_sink.Get(), L"Dismount volume \"%s\"", path.c_str());
            HANDLE opened = INVALID_HANDLE_VALUE;
            hr = m_access.OpenVolume(path.c_str(), &opened);
            RETURN_IF_FAILED(hr, name, __LINE__);
            CDiskHandle volume(m_access, opened);
            hr = m_access.LockVolume(volume.Get());
            if (SUCCEEDED(hr))
                hr = m_access.DismountVolume(volume.Get());
            if (SUCCEEDED(hr))
            {
                try
                {
                    m_volumes.push_back(std::move(volume));
                }
                catch (const std::bad_alloc&)
                {
                    hr = E_OUTOFMEMORY;
                }
            }
            RETURN_IF_FAILED(hr, name, __LINE__);
        }
        return S_OK;
    });
}

HRESULT CDiskDevice::DeleteDiskLayout()
{
    const wchar_t* name = L"CDiskDevice::DeleteDiskLayout";
    return RunLoad(name, [&] {
        ReportStatus(m_sink.Get(), L"Delete drive layout");
        HRESULT hr = m_access.DeleteLayout(m_disk.Get());
        RETURN_IF_FAILED(hr, name, __LINE__);
        return LogError(m_access.UpdateProperties(m_disk.Get()), name, __LINE__);
    });
}

HRESULT CDiskDevice::ParseXmlAttrValue(const wchar_t* expression, ULONGLONG& value)
{
    const wchar_t* name = L"CDiskDevice::ParseXmlAttrValue";
    ULONGLONG length = 0;
    HRESULT hr = m_access.GetLength(m_disk.Get(), &length);
    RETURN_IF_FAILED(hr, name, __LINE__);
    try
    {
        mu::Parser parser;
        // Not optimisable: every evaluation reads the disk as it is now.
        parser.DefineFun("CRC32", DiskCrc32, false);
        parser.DefineConst("NUM_DISK_SECTORS", static_cast<double>(length / kDiskSectorSize));
        CCurrentDevice current(this);
        hr = ::ParseXmlAttrValue(expression, value, &parser);
    }
    catch (const mu::ParserError&)
    {
        hr = E_UNEXPECTED;
    }
    catch (const std::bad_alloc&)
    {
        hr = E_OUTOFMEMORY;
    }
    return LogError(hr, name, __LINE__);
}

double CDiskDevice::CRC32(double startSector, double byteCount)
{
    // A position that no disk holds (negative, or from 2^63 up), a count
    // beyond 32 bits and whole sectors that reach past the disk's end are
    // refused before anything is read.
    const double first = std::trunc(startSector * static_cast<double>(kDiskSectorSize));
    HRESULT hr = HResultFromWin32(ERROR_SECTOR_NOT_FOUND);
    ULONGLONG position = 0, wanted = 0, count = 0;
    if (first >= 0 && first < 9223372036854775808.0 && byteCount >= 0 && byteCount < 4294967296.0)
    {
        position = static_cast<ULONGLONG>(first);
        wanted = static_cast<ULONGLONG>(byteCount);
        count = (wanted + kDiskSectorSize - 1) / kDiskSectorSize * kDiskSectorSize;
        ULONGLONG length = 0;
        hr = m_access.GetLength(m_disk.Get(), &length);
        if (SUCCEEDED(hr) && (position > length || count > length - position))
            hr = HResultFromWin32(ERROR_SECTOR_NOT_FOUND);
    }
    if (FAILED(hr))
    {
        LogError(hr, L"CDiskDevice::CRC32", __LINE__);
        throw mu::ParserError();
    }
    // Read in pieces, so that the memory taken does not grow with the range.
    std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[std::min(count, kBytesPerCrcRead)]);
    if (!buffer)
        throw mu::ParserError();
    ULONG crc = 0;
    for (ULONGLONG done = 0; done < count;)
    {
        const DWORD piece = static_cast<DWORD>(std::min(count - done, kBytesPerCrcRead));
        hr = m_access.Read(m_disk.Get(), buffer.get(), piece, position + done);
        if (FAILED(hr))
        {
            LogError(hr, L"CDiskDevice::CRC32", __LINE__);
            throw mu::ParserError();
        }
        const ULONGLONG used = std::min<ULONGLONG>(piece, wanted - done);
        for (ULONGLONG i = 0; i < used; ++i)
            crc = UpdateCrc32(crc, buffer[i]);
        done += piece;
    }
    return static_cast<double>(crc);
}

HRESULT CDiskDevice::WriteFile(const wchar_t* startSector, const wchar_t* numPartitionSectors, const wchar_t* path,
                               const wchar_t* fileSectorOffset, const wchar_t* byteOffset, const wchar_t* sectorSize,
                               const wchar_t* physicalPartition)
{
    const wchar_t* name = L"CDiskDevice::WriteFile";
    return RunLoad(name, [&] {
        ReportStatus(m_sink.Get(), L"Writing file \"%s\" to partition at %s", path, startSector);
        ULONGLONG start = 0, limit = 0, offset = 0, extra = 0, size = 0, partition = 0;
        const Attribute attributes[] = {{startSector, &start},       {numPartitionSectors, &limit},
                                        {fileSectorOffset, &offset}, {byteOffset, &extra},
                                        {sectorSize, &size},         {physicalPartition, &partition}};
        for (const Attribute& a : attributes)
        {
            HRESULT hr = ParseXmlAttrValue(a.text, *a.value);
            RETURN_IF_FAILED(hr, name, __LINE__);
        }
        if (size == 0 || size > kMaxSectorSize)
            return LogError(kBadFormatResult, name, __LINE__);

        std::shared_ptr<CSharedFileMapping> mapping;
        HRESULT hr = OpenSharedFileMapping(path, mapping);
        RETURN_IF_FAILED(hr, name, __LINE__);
        const BYTE* view = mapping->View();
        const ULONGLONG fileSize = mapping->Size();

        // An entry that starts beyond the file's end names data that is not
        // there: refuse it rather than write nothing or read past the view.
        ULONGLONG end = fileSize / size + (fileSize % size != 0);
        if (offset > end || extra > fileSize)
            return LogError(kEndOfFileResult, name, __LINE__);
        if (limit != 0 && end - offset > limit)
            end = offset + limit;
        ULONGLONG lastPosition = 0;
        if (start > MAXLONGLONG || !SectorPosition(start + (end - offset), size, lastPosition))
            return LogError(HResultFromWin32(ERROR_SECTOR_NOT_FOUND), name, __LINE__);

        std::vector<BYTE> tail;
        for (ULONGLONG piece = offset; piece < end;)
        {
            const ULONGLONG sectors = std::min(end - piece, kSectorsPerWrite);
            const DWORD bytes = static_cast<DWORD>(sectors * size);
            const ULONGLONG source = piece * size + extra;
            ReportStatus(m_sink.Get(), L"WriteFile position %#016llx, size %lu", piece * size, bytes);
            // The last piece may reach past the file's end (its last sector
            // part-filled, or pushed on by the byte offset): complete it with
            // zeros without reading past the view.
            const BYTE* data = tail.data();
            if (source <= fileSize && bytes <= fileSize - source)
                data = view + source;
            else
            {
                tail.assign(bytes, 0);
                if (source < fileSize)
                    memcpy(tail.data(), view + source, static_cast<size_t>(fileSize - source));
                data = tail.data();
            }
            hr = m_access.Write(m_disk.Get(), data, bytes, (start + piece - offset) * size);
            RETURN_IF_FAILED(hr, name, __LINE__);
            piece += sectors;
        }
        return S_OK;
    });
}

HRESULT CDiskDevice::ApplyPatch(const wchar_t* startSector, const wchar_t* byteOffset, const wchar_t* value,
                                const wchar_t* sizeInBytes, const wchar_t*, const wchar_t*)
{
    const wchar_t* name = L"CDiskDevice::ApplyPatch";
    return RunLoad(name, [&] {
        ReportStatus(m_sink.Get(), L"ApplyPatch sector %s, offset %s, value %s, size %s", startSector, byteOffset,
                     value, sizeInBytes);
        ULONGLONG sector = 0, offset = 0, number = 0, count = 0;
        const Attribute attributes[] = {
            {startSector, &sector}, {byteOffset, &offset}, {value, &number}, {sizeInBytes, &count}};
        for (const Attribute& a : attributes)
        {
            HRESULT hr = ParseXmlAttrValue(a.text, *a.value);
            RETURN_IF_FAILED(hr, name, __LINE__);
        }
        // A patch changes bytes of one sector only: one that reaches past the
        // sector's end is refused before anything is read or written.
        if (offset > kDiskSectorSize || count > kDiskSectorSize - offset)
            return LogError(E_INVALIDARG, name, __LINE__);
        ULONGLONG position = 0;
        if (!SectorPosition(sector, kDiskSectorSize, position))
            return LogError(HResultFromWin32(ERROR_SECTOR_NOT_FOUND), name, __LINE__);

        BYTE data[kDiskSectorSize];
        HRESULT hr = m_access.Read(m_disk.Get(), data, sizeof(data), position);
        RETURN_IF_FAILED(hr, name, __LINE__);
        for (ULONGLONG i = 0; i < count; ++i)
            data[offset + i] = i < sizeof(number) ? static_cast<BYTE>(number >> (8 * i)) : 0;
        return LogError(m_access.Write(m_disk.Get(), data, sizeof(data), position), name, __LINE__);
    });
}

HRESULT CDiskDevice::Provision(const wchar_t*)
{
    return S_OK;
}

HRESULT CDiskDevice::SetBootableStorageDrive()
{
    return S_OK;
}

HRESULT DownloadImagesToDisk(const wchar_t* diskName, const wchar_t* rawprogramList, const wchar_t* patchList,
                             const wchar_t* searchPath, IQStatusReport* sink)
{
    ComPtr<IQDevice> device;
    HRESULT hr = CDiskDevice::CreateInstance(diskName, sink, &device);
    RETURN_IF_FAILED(hr, L"DownloadImagesToDisk", __LINE__);
    return LogError(DownloadImagesToDevice(device.Get(), rawprogramList, patchList, searchPath, sink),
                    L"DownloadImagesToDisk", __LINE__);
}
