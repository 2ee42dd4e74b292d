// Android sparse images: every raw chunk becomes one IQDevice::WriteFile
// straight from the image file; don't-care chunks are skipped.
#pragma once
#include <windows.h>

struct IQDevice;

// The texts are the rawprogram entry's attribute expressions; `path` is the
// image already found along the search directories.
HRESULT WriteSparseFileToDevice(IQDevice* device, const wchar_t* startSector, const wchar_t* numPartitionSectors,
                                const wchar_t* path, const wchar_t* fileSectorOffset, const wchar_t* sectorSize,
                                const wchar_t* physicalPartition);

// Header and chunk layout, little-endian on disk.
constexpr DWORD kSparseMagic = 0xED26FF3A;
constexpr WORD kSparseChunkRaw = 0xCAC1;
constexpr WORD kSparseChunkFill = 0xCAC2;
constexpr WORD kSparseChunkDontCare = 0xCAC3;
constexpr WORD kSparseChunkCrc32 = 0xCAC4;
