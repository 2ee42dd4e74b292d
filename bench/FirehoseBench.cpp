// Throughput of the Firehose target over a serial port pair, against the raw
// link moving the same bytes, and the engine's memory with four phones
// written at once from one image file.
//
// Usage: kestrup_bench_firehose.exe [image MiB, default 256]
// Needs the serial port pairs of scripts/ports.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/Crc.h"
#include "engine/EngineIo.h"
#include "engine/images/ImageCache.h"
#include "engine/protocols/Hdlc.h"
#include "engine/storage/SerialDevice.h"
#include "tests/fixtures/FirehosePhone.h"

namespace
{

constexpr int kPhones = 4;
constexpr DWORD kRawPiece = 1u << 20;
// Engine and raw runs alternate; the best of each counts, since other
// processes on the machine slow single runs down at random.
constexpr int kRounds = 3;

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now()
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t;
}

double MegabytesPerSecond(ULONGLONG bytes, double seconds)
{
    return static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds;
}

SIZE_T PrivateBytes()
{
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                         sizeof(counters));
    // The commit charge: Windows reports it in both fields, Wine only in
    // PagefileUsage.
    return std::max(counters.PrivateUsage, counters.PagefileUsage);
}

// A file of pseudo-random bytes and its CRC-32.
bool MakeImage(const std::wstring& path, ULONGLONG size, ULONG& crc)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    std::vector<BYTE> block(kRawPiece);
    ULONG x = 12345;
    crc = 0;
    bool ok = true;
    for (ULONGLONG done = 0; ok && done < size; done += block.size())
    {
        for (BYTE& b : block)
        {
            x = x * 1103515245u + 12345u;
            b = static_cast<BYTE>(x >> 23);
            crc = UpdateCrc32(crc, b);
        }
        DWORD written = 0;
        ok = ::WriteFile(file, block.data(), static_cast<DWORD>(block.size()), &written, nullptr) &&
             written == block.size();
    }
    CloseHandle(file);
    return ok;
}

FirehoseOptions CountingPhone(bool ufs)
{
    FirehoseOptions options;
    options.ufs = ufs;
    options.keepData = false;
    options.partitionSectors = {1ull << 32};
    return options;
}

// The raw link: the same bytes from the same mapping, in large writes, to a
// phone that reads them with the same running checksum; it answers one byte
// when it has them all.
bool RunRaw(const std::wstring& image, ULONG crc, std::wstring& port, double& seconds)
{
    std::shared_ptr<CSharedFileMapping> mapping;
    if (FAILED(OpenSharedFileMapping(image.c_str(), mapping)))
        return false;
    const ULONGLONG size = mapping->Size();
    std::atomic<ULONG> phoneCrc{0};
    CSimulatedPhone phone;
    if (!phone.Start([size, &phoneCrc](CSimulatedPhone& p) {
            std::vector<char> chunk(1u << 20);
            ULONG crc = 0;
            for (ULONGLONG done = 0; done < size && !p.Stopping();)
            {
                size_t got = p.ReadSome(chunk.data(), static_cast<size_t>(std::min<ULONGLONG>(chunk.size(), size - done)),
                                        30000);
                if (got == 0)
                    return;
                for (size_t i = 0; i < got; ++i)
                    crc = UpdateCrc32(crc, static_cast<BYTE>(chunk[i]));
                done += got;
            }
            phoneCrc = crc;
            p.Write("D", 1);
        }))
        return false;
    port = phone.HostPort();
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (FAILED(OpenSerialPort(port.c_str(), 0, &handle)))
        return false;
    LARGE_INTEGER start = Now();
    bool ok = true;
    for (ULONGLONG position = 0; ok && position < size; position += kRawPiece)
    {
        DWORD piece = static_cast<DWORD>(std::min<ULONGLONG>(kRawPiece, size - position));
        ok = SUCCEEDED(WriteRobust(handle, mapping->View() + position, piece, kNoPosition));
    }
    // The phone's one-byte answer: it has everything.
    char done = 0;
    DWORD read = 0;
    const ULONGLONG deadline = GetTickCount64() + 30000;
    while (ok && read == 0 && GetTickCount64() < deadline)
    {
        ok = ReadFile(handle, &done, 1, &read, nullptr) != FALSE;
        if (read == 0)
            Sleep(1);
    }
    seconds = Seconds(start, Now());
    CloseHandle(handle);
    phone.WaitDone(5000);
    return ok && read == 1 && done == 'D' && phoneCrc == crc;
}

struct EngineRun
{
    std::unique_ptr<CFirehosePhone> phone;
    HRESULT result = E_PENDING;
    double seconds = 0;
};

// Configures the programmer (eMMC: 128 KiB transfers of 512-byte sectors;
// UFS: 1 MiB of 4096-byte sectors), then times the image's write.
void WriteThroughEngine(EngineRun& run, const std::wstring& image, ULONGLONG size, bool ufs)
{
    IQDevice* device = nullptr;
    const ULONGLONG sectorSize = ufs ? 4096 : 512;
    run.result = CSerialDevice::CreateInstance(run.phone->HostPort().c_str(), nullptr, &device, ufs, FALSE);
    if (SUCCEEDED(run.result))
    {
        LARGE_INTEGER start = Now();
        run.result = device->WriteFile(L"0", std::to_wstring(size / sectorSize).c_str(), image.c_str(), L"0", L"0",
                                       std::to_wstring(sectorSize).c_str(), L"0");
        run.seconds = Seconds(start, Now());
        device->Release();
    }
}

bool Verified(const EngineRun& run, ULONGLONG size, ULONG crc)
{
    return SUCCEEDED(run.result) && run.phone->DataBytes() == size && run.phone->DataCrc() == crc &&
           run.phone->Errors().empty();
}

} // namespace

int main(int argc, char** argv)
{
    const ULONGLONG mebibytes = argc > 1 ? strtoull(argv[1], nullptr, 10) : 256;
    const ULONGLONG size = mebibytes << 20;
    const std::wstring image = L"bench-image.bin";
    ULONG crc = 0;
    if (size == 0 || !MakeImage(image, size, crc))
    {
        fwprintf(stderr, L"cannot make the %llu MiB image\n", mebibytes);
        return 1;
    }
    wprintf(L"image: %llu MiB, CRC-32 %08lX\n", mebibytes, crc);

    // One phone: the engine as eMMC and as UFS, then the raw link, each on
    // the first free pair (the same one, as nothing else holds a pair here).
    double best[3] = {0, 0, 0};
    const wchar_t* names[3] = {L"engine eMMC", L"engine UFS", L"raw link"};
    bool allVerified = true;
    for (int round = 1; round <= kRounds; ++round)
    {
        wprintf(L"round %d:", round);
        for (int kind = 0; kind < 3; ++kind)
        {
            std::wstring port;
            double seconds = 0;
            bool verified;
            if (kind < 2)
            {
                EngineRun run;
                run.phone.reset(new CFirehosePhone(CountingPhone(kind == 1)));
                if (!run.phone->Start())
                    return 2;
                port = run.phone->HostPort();
                WriteThroughEngine(run, image, size, kind == 1);
                verified = Verified(run, size, crc);
                seconds = run.seconds;
            }
            else
            {
                verified = RunRaw(image, crc, port, seconds);
            }
            wprintf(L" %ls %.1f MB/s (%ls%ls)", names[kind], MegabytesPerSecond(size, seconds), port.c_str(),
                    verified ? L"" : L", FAILED");
            allVerified = allVerified && verified;
            if (verified && (best[kind] == 0 || seconds < best[kind]))
                best[kind] = seconds;
        }
        wprintf(L"\n");
    }
    const double raw = MegabytesPerSecond(size, best[2]);
    wprintf(L"best of %d: raw link %.1f MB/s\n", kRounds, raw);
    for (int kind = 0; kind < 2; ++kind)
    {
        const double rate = MegabytesPerSecond(size, best[kind]);
        wprintf(L"best of %d: %ls %.1f MB/s, %.1f%% of the raw link\n", kRounds, names[kind], rate,
                100.0 * rate / raw);
    }

    // Four phones at once from the same image file (eMMC).
    std::vector<EngineRun> runs(kPhones);
    for (EngineRun& run : runs)
    {
        run.phone.reset(new CFirehosePhone(CountingPhone(false)));
        if (!run.phone->Start())
            return 3;
    }
    Sleep(200);
    const SIZE_T before = PrivateBytes();
    std::atomic<bool> sampling{true};
    std::atomic<SIZE_T> peak{before};
    std::thread sampler([&] {
        while (sampling)
        {
            SIZE_T now = PrivateBytes();
            if (now > peak)
                peak = now;
            Sleep(20);
        }
    });
    std::vector<std::thread> workers;
    LARGE_INTEGER start = Now();
    for (EngineRun& run : runs)
        workers.emplace_back([&run, &image, size] { WriteThroughEngine(run, image, size, false); });
    for (std::thread& worker : workers)
        worker.join();
    const double allSeconds = Seconds(start, Now());
    sampling = false;
    sampler.join();
    bool phonesVerified = true;
    for (const EngineRun& run : runs)
        phonesVerified = phonesVerified && Verified(run, size, crc);
    const double growth = static_cast<double>(peak - before) / kPhones / (1024.0 * 1024.0);
    wprintf(L"%d phones: %.1f MB/s together (%.2f s%ls)\n", kPhones, MegabytesPerSecond(size * kPhones, allSeconds),
            allSeconds, phonesVerified ? L", all verified" : L", FAILED");
    wprintf(L"engine private memory growth: %.2f MB per phone (peak %.1f MB over %.1f MB)\n", growth,
            peak / (1024.0 * 1024.0), before / (1024.0 * 1024.0));

    runs.clear();
    DeleteFileW(image.c_str());
    return allVerified && phonesVerified ? 0 : 4;
}
