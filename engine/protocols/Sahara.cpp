#include "engine/protocols/Sahara.h"

#include "engine/ByteOrder.h"
#include "engine/EngineIo.h"
#include "engine/images/ImageCache.h"
#include "engine/protocols/Hdlc.h"
#include "engine/protocols/LoaderSupport.h"
#include "services/Log.h"

#include <cstring>
#include <memory>

using namespace Sahara;

namespace
{
const wchar_t kName[] = L"DownloadFlashProgrammerSahara";
constexpr DWORD kReadTimeoutMs = 100;
constexpr int kPortOpenAttempts = 15;
constexpr DWORD kPortOpenPauseMs = 2000;
constexpr int kHelloRounds = 30;
constexpr DWORD kHelloRoundPauseMs = 1000;

ULONG Field32(const BYTE* packet, size_t index)
{
    ULONG v;
    memcpy(&v, packet + 4 * index, sizeof v);
    return ToLittleEndian32(v);
}

ULONGLONG Field64(const BYTE* at)
{
    return static_cast<ULONGLONG>(Field32(at, 1)) << 32 | Field32(at, 0);
}

void PutField32(BYTE* packet, size_t index, ULONG value)
{
    value = ToLittleEndian32(value);
    memcpy(packet + 4 * index, &value, sizeof value);
}

HRESULT ReadPacket(HANDLE port, void* buffer, DWORD count)
{
    return ReadRobust(port, buffer, count, kNoPosition);
}

// A packet, or a piece of the programmer, goes out at the phone's pace.
HRESULT WritePacket(HANDLE port, const void* bytes, DWORD count)
{
    CPaceFloor floor;
    return WriteRobust(port, bytes, count, kNoPosition, &floor);
}

HRESULT SendHelloResponse(HANDLE port, Mode mode)
{
    BYTE packet[kHelloResponseLength] = {};
    PutField32(packet, 0, kHelloResponse);
    PutField32(packet, 1, kHelloResponseLength);
    PutField32(packet, 2, kHelloResponseVersion);
    PutField32(packet, 3, kHelloResponseMinimumVersion);
    PutField32(packet, 4, 0); // status
    PutField32(packet, 5, mode);
    return WritePacket(port, packet, sizeof packet);
}

// Reads one hello packet; S_FALSE when the phone sent something else.
HRESULT ReadHello(HANDLE port)
{
    BYTE packet[kHelloLength];
    HRESULT hr = ReadPacket(port, packet, sizeof packet);
    if (FAILED(hr))
        return hr;
    return Field32(packet, 0) == kHello ? S_OK : S_FALSE;
}

// The phone missed nothing but we missed its hello: ask it for command mode,
// switch it back to image transfer, and it says hello again.
HRESULT RecoverHello(HANDLE port, IQStatusReport* sink)
{
    PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR);
    ReportStatus(sink, L"Missed hello packet, try to recover");
    HRESULT hr = SendHelloResponse(port, kModeCommand);
    RETURN_IF_FAILED(hr, kName, __LINE__);
    BYTE reply[kCommandReplyLength];
    hr = ReadPacket(port, reply, sizeof reply);
    RETURN_IF_FAILED(hr, kName, __LINE__);

    ReportStatus(sink, L"Switch mode back");
    BYTE switchMode[kSwitchModeLength];
    PutField32(switchMode, 0, kSwitchMode);
    PutField32(switchMode, 1, kSwitchModeLength);
    PutField32(switchMode, 2, kModeImageTransfer);
    hr = WritePacket(port, switchMode, sizeof switchMode);
    RETURN_IF_FAILED(hr, kName, __LINE__);

    ReportStatus(sink, L"Receiving hello packet");
    hr = ReadHello(port);
    RETURN_IF_FAILED(hr, kName, __LINE__);
    return hr == S_OK ? S_OK : LogError(E_UNEXPECTED, kName, __LINE__);
}

// Waits for a phone that has just restarted to say hello. hr is the result of
// the first read.
HRESULT WaitForHello(HANDLE port, IQStatusReport* sink, HRESULT hr)
{
    for (int round = 0; hr != S_OK; ++round)
    {
        if (round == kHelloRounds)
        {
            ReportStatus(sink, L"can't receive hello packet");
            return LogError(FAILED(hr) ? hr : E_UNEXPECTED, kName, __LINE__);
        }
        hr = ReadHello(port);
        ReportStatus(sink, L"Receiving hello packet");
        Sleep(kHelloRoundPauseMs);
    }
    return S_OK;
}

// What a phone may ask for before it is stopped: loading a programmer of S
// bytes takes each byte about once, in pieces of 4 KiB or more, at megabytes
// a second. Allowed are 8 * S + 1 MiB bytes, 1024 + S / 512 requests and
// 60 s + 1 ms per 32 bytes (as if the link carried 32 KB/s); reaching one is
// an error.
class CServeBudget
{
public:
    explicit CServeBudget(ULONGLONG size)
        : m_bytes(8 * size + (1u << 20)), m_requests(1024 + size / 512), m_timeMs(60000 + size / 32),
          m_start(GetTickCount64())
    {
    }

    HRESULT Take(ULONGLONG length)
    {
        if (GetTickCount64() - m_start > m_timeMs)
            return LogError(HResultFromWin32(ERROR_TIMEOUT), kName, __LINE__);
        if (m_requests == 0 || length > m_bytes)
            return LogError(HResultFromWin32(ERROR_MORE_DATA), kName, __LINE__);
        --m_requests;
        m_bytes -= length;
        return S_OK;
    }

private:
    ULONGLONG m_bytes;
    ULONGLONG m_requests;
    ULONGLONG m_timeMs;
    ULONGLONG m_start;
};

// Sends count bytes of the programmer from offset in one write, refusing what
// lies past its end, what one write cannot carry, or what is beyond the budget.
HRESULT SendProgrammer(HANDLE port, const CSharedFileMapping& programmer, CServeBudget& budget, ULONGLONG offset,
                       ULONGLONG count)
{
    if (offset > programmer.Size() || count > programmer.Size() - offset || count > MAXDWORD)
        return LogError(kReadPastEnd, kName, __LINE__);
    HRESULT hr = budget.Take(count);
    if (FAILED(hr))
        return hr;
    hr = WritePacket(port, programmer.View() + offset, static_cast<ULONG>(count));
    return FAILED(hr) ? LogError(hr, kName, __LINE__) : S_OK;
}

// Serves read requests until the phone ends the transfer.
HRESULT ServeRequests(HANDLE port, const CSharedFileMapping& programmer, IQStatusReport* sink)
{
    CServeBudget budget(programmer.Size());
    for (;;)
    {
        // The command id alone, then the rest of that packet's fixed length.
        BYTE packet[kReadData64Length];
        HRESULT hr = ReadPacket(port, packet, 4);
        if (FAILED(hr))
        {
            ReportStatus(sink, L"ReadRobust failed");
            return LogError(hr, kName, __LINE__);
        }
        const ULONG command = Field32(packet, 0);
        switch (command)
        {
        case kReadData:
        {
            hr = ReadPacket(port, packet + 4, kReadDataLength - 4);
            RETURN_IF_FAILED(hr, kName, __LINE__);
            const ULONG image = Field32(packet, 2), offset = Field32(packet, 3), length = Field32(packet, 4);
            ReportStatus(sink, L"ReadDataPacket id %d, offset %#08x, length %u", image, offset, length);
            hr = SendProgrammer(port, programmer, budget, offset, length);
            if (FAILED(hr))
                return hr;
            break;
        }
        case kReadData64:
        {
            hr = ReadPacket(port, packet + 4, kReadData64Length - 4);
            RETURN_IF_FAILED(hr, kName, __LINE__);
            const ULONGLONG image = Field64(packet + 8), offset = Field64(packet + 16), length = Field64(packet + 24);
            ReportStatus(sink, L"ReadDataPacket id %lld, offset %#08x, length %llu", image, static_cast<ULONG>(offset),
                         length);
            hr = SendProgrammer(port, programmer, budget, offset, length);
            if (FAILED(hr))
                return hr;
            break;
        }
        case kEndImageTransfer:
        {
            hr = ReadPacket(port, packet + 4, kEndImageTransferLength - 4);
            RETURN_IF_FAILED(hr, kName, __LINE__);
            const ULONG image = Field32(packet, 2), status = Field32(packet, 3);
            ReportStatus(sink, L"EndTransferPacket id %d, status %d", image, status);
            if (status != 0)
                return LogError(E_FAIL, kName, __LINE__);
            ReportStatus(sink, L"Send done packet");
            BYTE done[kDoneLength];
            PutField32(done, 0, kDone);
            PutField32(done, 1, kDoneLength);
            hr = WritePacket(port, done, sizeof done);
            RETURN_IF_FAILED(hr, kName, __LINE__);
            hr = ReadPacket(port, packet, kDoneResponseLength);
            RETURN_IF_FAILED(hr, kName, __LINE__);
            return Field32(packet, 0) == kDoneResponse ? S_OK : LogError(E_UNEXPECTED, kName, __LINE__);
        }
        default:
            ReportStatus(sink, L"Unknown command %02x", command);
            return LogError(E_UNEXPECTED, kName, __LINE__);
        }
    }
}

HRESULT LoadSahara(const wchar_t* portName, const wchar_t* path, IQStatusReport* sink, BOOL waitForHello)
{
    ReportStatus(sink, L"Open programmer \"%s\"", path);
    std::shared_ptr<CSharedFileMapping> programmer;
    HRESULT hr = OpenSharedFileMapping(path, programmer);
    RETURN_IF_FAILED(hr, kName, __LINE__);

    CFileHandle port;
    for (int attempt = 0; attempt < kPortOpenAttempts; ++attempt)
    {
        ReportStatus(sink, L"Open serial port \"%s\"", portName);
        hr = OpenSerialPort(portName, kReadTimeoutMs, port.Receive());
        if (SUCCEEDED(hr))
            break;
        ReportStatus(sink, L"Open serial port \"%s\" failed, try agian.", portName);
        Sleep(kPortOpenPauseMs);
    }
    if (FAILED(hr))
    {
        ReportStatus(sink, L"Open serial port \"%s\" failed.", portName);
        return LogError(hr, kName, __LINE__);
    }

    ReportStatus(sink, L"Receiving hello packet");
    hr = ReadHello(port.Get());
    if (hr != S_OK)
    {
        hr = waitForHello ? WaitForHello(port.Get(), sink, hr) : RecoverHello(port.Get(), sink);
        if (FAILED(hr))
            return hr;
    }

    ReportStatus(sink, L"Send hello response");
    hr = SendHelloResponse(port.Get(), kModeImageTransfer);
    RETURN_IF_FAILED(hr, kName, __LINE__);
    return ServeRequests(port.Get(), *programmer, sink);
}
} // namespace

HRESULT DownloadFlashProgrammerSahara(const wchar_t* port, const wchar_t* programmer, IQStatusReport* sink,
                                      BOOL waitForHello)
{
    return RunLoad(kName, [&] { return LoadSahara(port, programmer, sink, waitForHello); });
}
