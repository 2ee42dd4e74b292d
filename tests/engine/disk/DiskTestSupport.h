// What the disk-target tests share: a scratch folder with a file-backed disk
// that the co-installer stand-in lists, a status sink that keeps the texts,
// and a CRC-32 written apart from the engine's.
#pragma once
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/fixtures/ChildProcess.h"
#include "tests/fixtures/DeviceTable.h"
#include "tests/fixtures/FileBackedDisk.h"
#include "tests/fixtures/StatusRecorder.h"

// Bit by bit, reflected polynomial 0xEDB88320.
inline ULONG ReferenceCrc32(const BYTE* data, size_t count)
{
    ULONG crc = 0xFFFFFFFF;
    for (size_t i = 0; i < count; ++i)
    {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0);
    }
    return ~crc;
}

// Bytes that differ from sector to sector and from seed to seed.
inline std::string PatternBytes(size_t count, unsigned seed)
{
    std::string bytes(count, '\0');
    ULONG x = seed * 2654435761u + 1;
    for (size_t i = 0; i < count; ++i)
    {
        x = x * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(x >> 16);
    }
    return bytes;
}

// A status recorder that counts the references held on it.
class CCountingRecorder : public CStatusRecorder
{
public:
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_held)); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(InterlockedDecrement(&m_held)); }
    LONG Held() const { return m_held; }

private:
    LONG m_held = 0;
};

// A scratch folder holding the co-installer's device table and the files of
// the disks that tests make; the disks are served by `disks`.
class DiskTest : public ::testing::Test
{
protected:
    DiskTest() : m_table(m_dir / L"devices.txt") {}

    // Makes a disk of `length` zero bytes listed by the co-installer with
    // `volumes`, and gives its file.
    std::wstring MakeDisk(const std::wstring& name, ULONGLONG length, const std::vector<std::wstring>& volumes = {},
                          unsigned index = 1)
    {
        std::wstring file = m_dir / (L"disk" + std::to_wstring(index) + L".bin");
        EXPECT_TRUE(CreateDiskFile(file, length));
        disks.AddDisk(name, file);
        for (const std::wstring& volume : volumes)
            disks.AddVolume(volume);
        SimDevice device;
        device.index = index;
        device.type = 2;
        device.name = name;
        device.volumes = volumes;
        EXPECT_TRUE(m_table.Set(device));
        return file;
    }

    std::wstring Path(const std::wstring& name) const { return m_dir / name; }

    CTempDir m_dir{L"disk"};
    CDeviceTable m_table;
    CFileBackedDisk disks;
    CCountingRecorder sink;
};
