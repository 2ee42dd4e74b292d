#include "engine/protocols/Dmss.h"

#include "engine/ByteOrder.h"
#include "engine/images/IntelHexImage.h"
#include "engine/protocols/Hdlc.h"
#include "engine/protocols/LoaderSupport.h"
#include "services/Log.h"
#include "services/Text.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using namespace Dmss;

namespace
{
const wchar_t kName[] = L"DownloadFlashProgrammerDMSS";
constexpr DWORD kReadTimeoutMs = 100;

void PutBigEndian32(BYTE* at, ULONG value)
{
    value = ToBigEndian32(value);
    memcpy(at, &value, sizeof value);
}

// Receives the one-byte acknowledgement of the packet just sent.
HRESULT ReceiveAck(HANDLE port)
{
    BYTE answer = 0;
    HRESULT hr = ReceivePacket(port, &answer, 1, true);
    RETURN_IF_FAILED(hr, kName, __LINE__);
    return answer == kAck ? S_OK : LogError(HResultFromWin32(ERROR_INVALID_STATE), kName, __LINE__);
}

// Writes one run in packets of at most maxWrite bytes, each acknowledged.
HRESULT WriteRun(HANDLE port, ULONG start, const std::vector<BYTE>& run, DWORD maxWrite, std::vector<BYTE>& packet,
                 IQStatusReport* sink)
{
    const size_t statusStep = static_cast<size_t>(kPacketsPerStatus) * maxWrite;
    for (size_t offset = 0; offset < run.size(); offset += maxWrite)
    {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(maxWrite, run.size() - offset));
        const ULONG address = start + static_cast<ULONG>(offset);
        if (offset % statusStep == 0)
            ReportStatus(sink, L"Write and verify address %#08x, size %u", address,
                         static_cast<DWORD>(std::min(statusStep, run.size() - offset)));
        packet[0] = kWrite;
        PutBigEndian32(&packet[1], address);
        const USHORT length = ToBigEndian16(static_cast<USHORT>(chunk));
        memcpy(&packet[5], &length, sizeof length);
        memcpy(&packet[kWriteHeaderLength], run.data() + offset, chunk);
        HRESULT hr = TransmitPacket(port, packet.data(), kWriteHeaderLength + chunk);
        RETURN_IF_FAILED(hr, kName, __LINE__);
        hr = ReceiveAck(port);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT LoadDmss(const wchar_t* portName, const wchar_t* path, IQStatusReport* sink)
{
    ReportStatus(sink, L"Load programmer \"%s\"", path);
    // In the code page of the system's 8-bit file calls; a path narrowed to
    // a look-alike would open another file.
    std::string narrowPath;
    HRESULT hr = ToNarrowExact(path ? path : L"", narrowPath, CP_ACP);
    RETURN_IF_FAILED(hr, kName, __LINE__);
    CIntelHexImage image;
    if (!image.Load(narrowPath.c_str()))
        return LogError(kBadFormatResult, kName, __LINE__);
    image.Coalesce();

    ReportStatus(sink, L"Open serial port \"%s\"", portName);
    CFileHandle port;
    hr = OpenSerialPort(portName, kReadTimeoutMs, port.Receive());
    RETURN_IF_FAILED(hr, kName, __LINE__);

    ReportStatus(sink, L"Send parameters command");
    const BYTE request = kParametersRequest;
    hr = TransmitPacket(port.Get(), &request, 1);
    RETURN_IF_FAILED(hr, kName, __LINE__);
    BYTE reply[kParametersReplyLength];
    hr = ReceivePacket(port.Get(), reply, sizeof reply, true);
    RETURN_IF_FAILED(hr, kName, __LINE__);
    USHORT maxWrite;
    memcpy(&maxWrite, &reply[3], sizeof maxWrite);
    maxWrite = ToBigEndian16(maxWrite);
    // A phone that takes no bytes per write could never be loaded.
    if (reply[0] != kParametersReply || maxWrite == 0)
        return LogError(HResultFromWin32(ERROR_INVALID_STATE), kName, __LINE__);

    std::vector<BYTE> packet(kWriteHeaderLength + maxWrite);
    for (const auto& run : image.GetRuns())
    {
        hr = WriteRun(port.Get(), run.first, run.second, maxWrite, packet, sink);
        if (FAILED(hr))
            return hr;
    }

    ReportStatus(sink, L"Jump to flash programmer(%#08x)", image.StartAddress());
    BYTE go[kGoLength] = {kGo};
    PutBigEndian32(&go[1], image.StartAddress());
    hr = TransmitPacket(port.Get(), go, sizeof go);
    RETURN_IF_FAILED(hr, kName, __LINE__);
    return ReceiveAck(port.Get());
}
} // namespace

HRESULT DownloadFlashProgrammerDMSS(const wchar_t* port, const wchar_t* programmer, IQStatusReport* sink)
{
    return RunLoad(kName, [&] { return LoadDmss(port, programmer, sink); });
}
