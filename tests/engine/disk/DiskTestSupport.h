// What the disk-target tests share: a scratch folder with a file-backed disk
// that the co-installer stand-in lists, a status sink that keeps the texts,
// and a CRC-32 written apart from the engine's.
#pragma once
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/fixtures/ListedDisks.h"
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

// The disk tests' folder, disks and a sink that counts its references.
class DiskTest : public ListedDiskTest
{
protected:
    DiskTest() : ListedDiskTest(L"disk") {}

    CCountingRecorder sink;
};
