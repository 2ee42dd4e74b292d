#include "engine/images/SparseImage.h"

#include <cstring>
#include <memory>
#include <string>

#include "engine/ByteOrder.h"
#include "engine/images/AttrExpression.h"
#include "engine/images/ImageCache.h"
#include "engine/storage/QDevice.h"
#include "services/Log.h"

namespace
{

const HRESULT kUnsupported = static_cast<HRESULT>(0x8007065E);
const HRESULT kTooLarge = static_cast<HRESULT>(0x800700DF);
const HRESULT kOverflow = static_cast<HRESULT>(0x80070216);

// The fields read from every header; shorter headers are refused.
constexpr ULONGLONG kFileHeaderFields = 28;
constexpr ULONGLONG kChunkHeaderFields = 12;

USHORT Read16(const BYTE* p)
{
    USHORT v;
    memcpy(&v, p, sizeof(v));
    return ToLittleEndian16(v);
}

ULONG Read32(const BYTE* p)
{
    ULONG v;
    memcpy(&v, p, sizeof(v));
    return ToLittleEndian32(v);
}

std::wstring Decimal(ULONGLONG v)
{
    return std::to_wstring(v);
}

HRESULT Fail(HRESULT hr, int line)
{
    return LogError(hr, L"WriteSparseFileToDevice", line);
}

} // namespace

HRESULT WriteSparseFileToDevice(IQDevice* device, const wchar_t* startSector, const wchar_t* numPartitionSectors,
                                const wchar_t* path, const wchar_t* fileSectorOffset, const wchar_t* sectorSize,
                                const wchar_t* physicalPartition)
{
    ULONGLONG sector = 0, limit = 0, fileOffset = 0, size = 0, partition = 0;
    HRESULT hr = ParseXmlAttrValues({{startSector, &sector},
                                     {numPartitionSectors, &limit},
                                     {fileSectorOffset, &fileOffset},
                                     {sectorSize, &size},
                                     {physicalPartition, &partition}});
    if (FAILED(hr))
        return Fail(hr, __LINE__);
    if (fileOffset != 0 || size == 0)
        return Fail(kBadFormatResult, __LINE__);

    std::shared_ptr<CSharedFileMapping> mapping;
    hr = OpenSharedFileMapping(path, mapping);
    if (FAILED(hr))
        return Fail(hr, __LINE__);
    const BYTE* view = mapping->View();
    const ULONGLONG fileSize = mapping->Size();

    if (fileSize < kFileHeaderFields)
        return Fail(kEndOfFileResult, __LINE__);
    if (Read32(view) != kSparseMagic)
        return Fail(kBadFormatResult, __LINE__);
    if (Read16(view + 4) != 1)
        return Fail(kUnsupported, __LINE__);
    const ULONGLONG fileHeaderSize = Read16(view + 8);
    const ULONGLONG chunkHeaderSize = Read16(view + 10);
    const ULONGLONG blockSize = Read32(view + 12);
    const ULONGLONG totalBlocks = Read32(view + 16);
    const ULONG totalChunks = Read32(view + 20);
    if (fileHeaderSize < kFileHeaderFields || chunkHeaderSize < kChunkHeaderFields || blockSize == 0 ||
        blockSize % size != 0)
        return Fail(kBadFormatResult, __LINE__);
    // Both factors are below 2^32, so the product cannot wrap.
    const ULONGLONG totalSectors = totalBlocks * blockSize / size;
    if (limit != 0 && totalSectors > limit)
        return Fail(kTooLarge, __LINE__);
    // Sectors past the last 64-bit sector number would wrap to sector 0.
    if (totalSectors > ~0ull - sector)
        return Fail(kOverflow, __LINE__);

    // No chunk may go past the blocks the header counts: the image then stays
    // within the partition checked above, and no sector number wraps.
    ULONGLONG blocksSeen = 0;
    ULONGLONG position = fileHeaderSize;
    for (ULONG chunk = 0; chunk < totalChunks; ++chunk)
    {
        if (position > fileSize || fileSize - position < chunkHeaderSize)
            return Fail(kEndOfFileResult, __LINE__);
        const BYTE* header = view + position;
        const USHORT type = Read16(header);
        const ULONGLONG blocks = Read32(header + 4);
        const ULONGLONG totalSize = Read32(header + 8);
        position += chunkHeaderSize;
        const ULONGLONG bytes = blocks * blockSize;
        const ULONGLONG sectors = bytes / size;
        blocksSeen += blocks;
        if (blocksSeen > totalBlocks)
            return Fail(kBadFormatResult, __LINE__);

        if (type == kSparseChunkRaw)
        {
            if (totalSize != chunkHeaderSize + bytes)
                return Fail(kBadFormatResult, __LINE__);
            if (fileSize - position < bytes)
                return Fail(kEndOfFileResult, __LINE__);
            // An empty chunk writes nothing: a count of 0 would mean "no
            // limit" to the target.
            if (sectors != 0)
            {
                hr = device->WriteFile(Decimal(sector).c_str(), Decimal(sectors).c_str(), path,
                                       Decimal(position / size).c_str(), Decimal(position % size).c_str(), sectorSize,
                                       physicalPartition);
                if (FAILED(hr))
                    return Fail(hr, __LINE__);
            }
            sector += sectors;
            position += bytes;
        }
        else if (type == kSparseChunkDontCare)
        {
            if (totalSize != chunkHeaderSize)
                return Fail(kBadFormatResult, __LINE__);
            sector += sectors;
        }
        else
        {
            return Fail(kUnsupported, __LINE__);
        }
    }
    return S_OK;
}
